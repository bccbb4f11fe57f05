"""Dense UPDE stepper: runs against the NumPy and SciPy code a user would write.

Times are per integration step (``per`` = number of steps of a run). The
bandwidth case compares a zero-lag Euler step, which reads the coupling
matrix once, with a plain two-threaded read of an array of the same size.

OpenBLAS keeps its worker threads spinning for about 0.1 s after every BLAS
call, and on a 2-core machine they compete with OpenMP's workers; the
harness idles before each timed batch (``--settle``) so that neither side
is timed against the other's spinning threads.
"""

from __future__ import annotations

import concurrent.futures

import numpy as np

import qor_kernel as qk
from harness import case

TWO_PI = 2.0 * np.pi
STEPS = 50
rng = np.random.default_rng(2024)


def network(n: int, coupling: float = 2.0):
    phases = rng.uniform(0.0, TWO_PI, n)
    omegas = rng.standard_cauchy(n) * 0.5
    omegas = np.clip(omegas, -20.0, 20.0)
    knm = np.full(n * n, coupling / n)
    return phases, omegas, knm


def numpy_euler_zero_lag(th, w, K, dt, steps):
    th = th.copy()
    for _ in range(steps):
        s, c = np.sin(th), np.cos(th)
        th += dt * (w + c * (K @ s) - s * (K @ c))
        np.mod(th, TWO_PI, out=th)
    return th


_pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)


def two_thread_reads(halves, repeats):
    # np.add.reduce releases the interpreter lock, so both halves stream at
    # once; each thread reads its half `repeats` times, which keeps the cost of
    # handing work to the threads out of the time per read.
    def read(half):
        for _ in range(repeats):
            np.add.reduce(half)

    list(_pool.map(read, halves))


@case("upde/euler zero-lag vs read", size="N=2048", per=STEPS, unit="step",
      reference="plain 2-thread read of knm (8*N^2 bytes)", target="<= 1.4x the read (ratio >= 0.71)")
def _():
    n = 2048
    th, w, knm = network(n)
    K = knm.copy()
    halves = (K[: K.size // 2], K[K.size // 2:])
    s = qk.PyUPDEStepper(n, dt=0.01)
    alpha = np.zeros(n * n)

    def ref():
        two_thread_reads(halves, STEPS)

    return (lambda: s.run(th, w, knm, 0.0, 0.0, alpha, STEPS)), ref


@case("upde/euler zero-lag vs read 1T", size="N=2048", per=STEPS, unit="step",
      reference="plain 1-thread np.sum of knm", target="(information)")
def _():
    n = 2048
    th, w, knm = network(n)
    K = knm.copy()
    s = qk.PyUPDEStepper(n, dt=0.01)
    alpha = np.zeros(n * n)

    def ref():
        for _ in range(STEPS):
            np.add.reduce(K)

    return (lambda: s.run(th, w, knm, 0.0, 0.0, alpha, STEPS)), ref


for _n, _target in ((2048, ">= 1.5x"), (64, ">= 5x")):

    @case("upde/euler zero-lag vs numpy", size=f"N={_n}", per=STEPS, unit="step",
          reference="numpy sin/cos + 2 matvecs per step", target=_target)
    def _(n=_n):
        th, w, knm = network(n)
        K = knm.reshape(n, n).copy()
        s = qk.PyUPDEStepper(n, dt=0.01)
        alpha = np.zeros(n * n)
        return (lambda: s.run(th, w, knm, 0.0, 0.0, alpha, STEPS)), (
            lambda: numpy_euler_zero_lag(th, w, K, 0.01, STEPS))


@case("upde/euler lags vs numpy", size="N=1024", per=STEPS, unit="step",
      reference="numpy (K*sin(th[None,:]-th[:,None]-A)).sum(1)", target=">= 5x")
def _():
    n = 1024
    th, w, knm = network(n)
    alpha = rng.uniform(-0.5, 0.5, n * n)
    K, A = knm.reshape(n, n).copy(), alpha.reshape(n, n).copy()
    s = qk.PyUPDEStepper(n, dt=0.01)

    def ref():
        x = th.copy()
        for _ in range(STEPS):
            x += 0.01 * (w + (K * np.sin(x[None, :] - x[:, None] - A)).sum(1))
            np.mod(x, TWO_PI, out=x)
        return x

    return (lambda: s.run(th, w, knm, 0.0, 0.0, alpha, STEPS)), ref


def _rk45_case(n: int):
    from scipy.integrate import solve_ivp

    th, w, knm = network(n)
    K = knm.reshape(n, n).copy()
    alpha = np.zeros(n * n)

    def rhs(_t, x):
        s, c = np.sin(x), np.cos(x)
        return w + c * (K @ s) - s * (K @ c)

    # An interval of a few dozen accepted steps; both sides then take the same
    # number of steps and the harness divides by it.
    t_end = 3.0
    sol = solve_ivp(rhs, (0.0, t_end), th, method="RK45", rtol=1e-3, atol=1e-6)
    accepted = len(sol.t) - 1
    s = qk.PyUPDEStepper(n, dt=0.01, method="rk45", atol=1e-6, rtol=1e-3)

    def ours():
        return s.run(th, w, knm, 0.0, 0.0, alpha, accepted)

    def ref():
        return solve_ivp(rhs, (0.0, t_end), th, method="RK45", rtol=1e-3, atol=1e-6)

    return ours, ref, accepted


for _n, _target in ((64, ">= 10x"), (1024, ">= 2x")):
    _ours, _ref, _accepted = _rk45_case(_n)

    @case("upde/rk45 vs solve_ivp", size=f"N={_n} ({_accepted} st)", per=_accepted, unit="step",
          reference="scipy solve_ivp RK45, same rhs, per accepted step", target=_target)
    def _(o=_ours, r=_ref):
        return o, r
