"""Order parameter, phase-locking value and phase distances."""

import numpy as np

import qor_kernel as qk
from harness import case

rng = np.random.default_rng(12345)


@case("order_parameter", size="N=16", reference="np.exp(1j*x).mean() + abs/angle",
      target="<= 1 us per call, >= 5x")
def _():
    x = rng.uniform(0, 2 * np.pi, 16)

    def ref():
        z = np.exp(1j * x).mean()
        return np.abs(z), np.angle(z) % (2 * np.pi)

    return (lambda: qk.order_parameter(x)), ref


@case("order_parameter", size="N=1e6", reference="np.exp(1j*x).mean() + abs/angle", target=">= 3x")
def _():
    x = rng.uniform(0, 2 * np.pi, 10**6)

    def ref():
        z = np.exp(1j * x).mean()
        return np.abs(z), np.angle(z) % (2 * np.pi)

    return (lambda: qk.order_parameter(x)), ref


@case("order_parameter/hypot", size="N=1e6", reference="np.hypot(cos(x).mean(), sin(x).mean())",
      target=">= 1x")
def _():
    x = rng.uniform(0, 2 * np.pi, 10**6)
    return (lambda: qk.order_parameter(x)), (lambda: np.hypot(np.cos(x).mean(), np.sin(x).mean()))


@case("plv", size="N=4", reference="np.abs(np.exp(1j*(a-b)).mean())", target="<= 400 ns per call")
def _():
    a, b = rng.uniform(0, 2 * np.pi, 4), rng.uniform(0, 2 * np.pi, 4)
    return (lambda: qk.plv(a, b)), (lambda: np.abs(np.exp(1j * (a - b)).mean()))


@case("phase_distance_matrix", size="N=2000",
      reference="np.abs(np.angle(np.exp(1j*(x[None,:]-x[:,None]))))", target=">= 3x")
def _():
    x = rng.uniform(0, 2 * np.pi, 2000)
    return (lambda: qk.phase_distance_matrix(x)), (lambda: np.abs(np.angle(np.exp(1j * (x[None, :] - x[:, None])))))
