"""Schedule runs of the dense UPDE stepper: frequency schedules, the Doppler
correction and the moving frame."""

from __future__ import annotations

import math

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import qor_kernel as qk

from test_upde import network, ref_euler, ref_rk4

S = qk.PyUPDEStepper


def ref_doppler(v, K, strength, eps):
    n = len(v)
    K = K.reshape(n, n)
    out = np.zeros(n)
    for k in range(n):
        num = den = 0.0
        for l in range(n):
            if l == k or K[k, l] == 0.0:
                continue
            num += ((v[k] - v[l]) * abs(K[k, l])) / (abs(v[k]) + eps)
            den += abs(K[k, l])
        out[k] = (num * strength) / den if den > 0.0 else 0.0
    return out


def ref_weight(d, code, kb, p, length, eps):
    if code == 1:
        return kb * np.exp(-(d / length))
    if code == 2:
        return kb / (d / length + 1.0) ** p
    if code == 3:
        return kb / np.sqrt(d * d + eps)
    return kb / (d + 1.0)


def ref_moving_frame(th, x, omega_sched, K, zeta, psi, A, vel, controls, n_steps, dt, step):
    kb, code, p, length, eps, ds, de = controls
    n = len(th)
    x = x.copy()
    for t in range(n_steps):
        d = np.abs(x[:, None] - x[None, :])
        k_eff = ref_weight(d, code, kb, p, length, eps) * K.reshape(n, n)
        np.fill_diagonal(k_eff, 0.0)
        k_eff = k_eff.ravel()
        v = vel[t * n:(t + 1) * n]
        w = omega_sched[t * n:(t + 1) * n] + ref_doppler(v, k_eff, ds, de)
        th = step(th, w, k_eff, zeta, psi, A, dt)
        x = x + dt * v
    return th


def circ(a, b):
    return float(np.max(np.abs(np.angle(np.exp(1j * (a - b))))))


# ---- frequency schedules ------------------------------------------------------------------


def test_omega_schedule_takes_one_row_per_step(rng):
    n, steps = 7, 4
    th, _, K, A = network(rng, n, lags=True)
    sched = rng.normal(0.0, 1.0, n * steps)
    for method in ("euler", "rk4", "rk45"):
        a, b = S(n, method=method), S(n, method=method)
        x = th
        for t in range(steps):
            x = a.step(x, sched[t * n:(t + 1) * n], K, 0.3, 0.1, A)
        assert_array_equal(b.run_omega_schedule(th, sched, K, 0.3, 0.1, A, steps), x)
        assert a.last_dt == b.last_dt


@pytest.mark.parametrize(
    "n_steps, length, error, message",
    [
        (3, 11, ValueError, "invalid dimension: expected omega_schedule length 12, got 11"),
        (0, 4, ValueError, "invalid dimension: expected omega_schedule length 0, got 4"),
        (2**62, 4, ValueError, "invalid dimension: omega schedule is too large"),
        (2**64, 4, OverflowError, None),
    ],
    ids=["short", "zero-steps-need-empty", "too-large", "beyond-64-bit"],
)
def test_omega_schedule_checks(n_steps, length, error, message):
    with pytest.raises(error) as info:
        S(4).run_omega_schedule(np.zeros(4), np.zeros(length), np.zeros(16), 0.0, 0.0, np.zeros(16), n_steps)
    if message:
        assert str(info.value) == message


# ---- Doppler schedule -------------------------------------------------------------------------


def test_doppler_term_matches_reference(rng):
    n, steps = 6, 3
    th, _, K, A = network(rng, n)
    K = K.reshape(n, n)
    K[2, :] = 0.0
    K[2, 2] = 5.0  # only a self-link: no Doppler term for oscillator 2
    K[4, 1] = -0.7  # strength enters through |K|
    K[0, 3] = -0.0
    K = K.ravel()
    sched = rng.normal(0.0, 1.0, n * steps)
    vel = rng.normal(0.0, 2.0, n * steps)
    got = S(n, method="rk4").run_doppler_schedule(th, sched, K, 0.0, 0.0, A, vel, 0.8, 0.5, steps)
    x = th
    for t in range(steps):
        d = ref_doppler(vel[t * n:(t + 1) * n], K, 0.8, 0.5)
        assert d[2] == 0.0
        x = ref_rk4(x, sched[t * n:(t + 1) * n] + d, K, 0.0, 0.0, A, 0.01)
    assert circ(got, x) < 1e-12


def test_equal_velocities_reduce_to_omega_schedule(rng):
    n, steps = 5, 4
    th, _, K, A = network(rng, n, lags=True)
    sched = rng.normal(0.0, 1.0, n * steps)
    vel = np.repeat(rng.normal(0.0, 3.0, steps), n)
    a = S(n).run_doppler_schedule(th, sched, K, 0.2, 0.3, A, vel, 2.0, 0.1, steps)
    assert_array_equal(a, S(n).run_omega_schedule(th, sched, K, 0.2, 0.3, A, steps))


def _doppler(s=None, *, n=4, steps=2, knm=None, vel=None, omega=None, strength=1.0, eps=1.0, n_steps=None):
    s = s or S(n)
    return s.run_doppler_schedule(
        np.zeros(n), np.zeros(n * steps) if omega is None else omega,
        np.full(n * n, 0.1) if knm is None else knm, 0.0, 0.0, np.zeros(n * n),
        np.zeros(n * steps) if vel is None else vel, strength, eps, steps if n_steps is None else n_steps)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"eps": 0.0}, "integration diverged: invalid Doppler strength or epsilon"),
        ({"eps": -1.0}, "integration diverged: invalid Doppler strength or epsilon"),
        ({"eps": math.inf}, "integration diverged: invalid Doppler strength or epsilon"),
        ({"strength": math.nan}, "integration diverged: invalid Doppler strength or epsilon"),
        ({"eps": 0.0, "vel": np.zeros(3)}, "integration diverged: invalid Doppler strength or epsilon"),
        ({"n_steps": 2**62}, "invalid dimension: Doppler schedule is too large"),
        ({"vel": np.zeros(7)}, "invalid dimension: expected Doppler schedule length 8, got omega=8 velocity=7"),
        ({"omega": np.zeros(9)}, "invalid dimension: expected Doppler schedule length 8, got omega=9 velocity=8"),
        ({"knm": np.zeros(15)}, "invalid dimension: malformed Doppler inputs"),
        ({"vel": np.array([0.0, 0.0, 0.0, 0.0, 0.0, math.inf, 0.0, 0.0])},
         "integration diverged: Doppler velocities/knm contain NaN/Inf"),
        ({"knm": np.full(16, math.nan)}, "integration diverged: Doppler velocities/knm contain NaN/Inf"),
        ({"omega": np.full(8, math.nan)}, "integration diverged: omegas/knm/alpha/modulator contain NaN/Inf"),
    ],
    ids=["eps-zero", "eps-negative", "eps-inf", "strength-nan", "controls-first", "too-large", "velocity-length",
         "omega-length", "knm-length", "velocity-inf", "knm-nan", "omega-nan"],
)
def test_doppler_checks(kwargs, message):
    with pytest.raises(ValueError) as info:
        _doppler(**kwargs)
    assert str(info.value) == message


def test_doppler_failure_in_later_step_keeps_earlier_state(rng):
    n = 4
    th, w, K, A = network(rng, n)
    vel = rng.normal(size=3 * n)
    vel[2 * n] = math.nan
    failing, reference = S(n, method="rk45"), S(n, method="rk45")
    K_fail, K_ref = K.copy(), K.copy()
    for s in (failing, reference):
        s.set_plasticity(0.2, 0.0)
    sched = np.tile(w, 3)
    with pytest.raises(ValueError, match="Doppler velocities/knm contain NaN/Inf"):
        failing.run_doppler_schedule(th, sched, K_fail, 0.0, 0.0, A, vel, 1.0, 1.0, 3)
    reference.run_doppler_schedule(th, sched[:2 * n], K_ref, 0.0, 0.0, A, vel[:2 * n], 1.0, 1.0, 2)
    assert_array_equal(K_fail, K_ref)
    assert failing.last_dt == reference.last_dt
    assert failing.order_parameter() == reference.order_parameter()


def test_doppler_contiguity_order():
    s = S(4)
    strided = np.zeros(16)[::2]
    with pytest.raises(ValueError, match="^The given array is not contiguous or is misaligned.$"):
        _doppler(s, vel=strided)
    with pytest.raises(ValueError, match="^phases not contiguous$"):
        s.run_doppler_schedule(np.zeros(8)[::2], np.zeros(8), np.zeros(16), 0.0, 0.0, np.zeros(16), strided,
                               1.0, 1.0, 2)


# ---- moving frame ---------------------------------------------------------------------------


@pytest.mark.parametrize("code", [0, 1, 2, 3, 7, 255], ids=lambda c: f"form{c}")
@pytest.mark.parametrize("n", [5, 300], ids=lambda n: f"n{n}")
def test_moving_frame_matches_reference(rng, code, n):
    steps = 3
    th, _, K, A = network(rng, n, lags=(code % 2 == 1))
    pos = rng.uniform(-2.0, 2.0, n)
    sched = rng.normal(0.0, 1.0, n * steps)
    vel = rng.normal(0.0, 1.0, n * steps)
    controls = (1.3, code, 1.7, 0.8, 0.05, 0.6, 0.4)
    s = S(n, dt=0.02, method="rk4")
    got = s.run_moving_frame_schedule(th, pos, sched, K, 0.2, 0.7, A, vel, *controls, steps)
    expected = ref_moving_frame(th, pos, sched, K, 0.2, 0.7, A, vel, controls, steps, 0.02, ref_rk4)
    assert circ(got, expected) < 1e-12


def test_moving_frame_codes_beyond_three_are_inverse_distance(rng):
    n = 6
    th, _, K, A = network(rng, n)
    pos, w, vel = rng.uniform(0, 3, n), rng.normal(size=n), rng.normal(size=n)
    results = [S(n).run_moving_frame_schedule(th, pos, w, K, 0.0, 0.0, A, vel, 1.0, code, 2.0, 1.0, 1.0, 0.5, 1.0, 1)
               for code in (0, 4, 7, 255)]
    for r in results[1:]:
        assert_array_equal(r, results[0])
    with pytest.raises(OverflowError):
        S(n).run_moving_frame_schedule(th, pos, w, K, 0.0, 0.0, A, vel, 1.0, 256, 2.0, 1.0, 1.0, 0.5, 1.0, 1)
    with pytest.raises(OverflowError):
        S(n).run_moving_frame_schedule(th, pos, w, K, 0.0, 0.0, A, vel, 1.0, -1, 2.0, 1.0, 1.0, 0.5, 1.0, 1)


def test_moving_frame_positions_advance_with_configured_dt_under_rk45(rng):
    # Under rk45 the phases advance by the adaptive step, the positions by dt.
    n, steps = 4, 3
    th, _, K, A = network(rng, n)
    pos = np.array([0.0, 1.0, 2.0, 3.0])
    vel = np.tile([1.0, -1.0, 0.5, 0.0], steps)
    sched = np.zeros(n * steps)
    got = S(n, dt=0.1, method="rk45").run_moving_frame_schedule(
        th, pos, sched, K, 0.0, 0.0, A, vel, 1.0, 1, 1.0, 2.0, 1.0, 0.0, 1.0, steps)
    s = S(n, dt=0.1, method="rk45")
    x, p = th, pos.copy()
    for t in range(steps):
        d = np.abs(p[:, None] - p[None, :])
        k_eff = np.exp(-(d / 2.0)) * K.reshape(n, n)
        np.fill_diagonal(k_eff, 0.0)
        x = s.step(x, sched[:n], k_eff.ravel(), 0.0, 0.0, A)
        p = p + 0.1 * vel[t * n:(t + 1) * n]
    assert circ(got, x) < 1e-13


def _moving(n=4, steps=2, *, phases=None, pos=None, knm=None, alpha=None, omega=None, vel=None,
            controls=(1.0, 0, 1.0, 1.0, 1.0, 0.5, 1.0), n_steps=None, stepper=None):
    s = stepper or S(n)
    return s.run_moving_frame_schedule(
        np.zeros(n) if phases is None else phases, np.arange(n, dtype=float) if pos is None else pos,
        np.zeros(n * steps) if omega is None else omega, np.full(n * n, 0.1) if knm is None else knm, 0.0, 0.0,
        np.zeros(n * n) if alpha is None else alpha, np.zeros(n * steps) if vel is None else vel, *controls,
        steps if n_steps is None else n_steps)


CTRL = (1.0, 0, 1.0, 1.0, 1.0, 0.5, 1.0)


def _ctrl(i, value):
    c = list(CTRL)
    c[i] = value
    return tuple(c)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"phases": np.zeros(3)}, "invalid dimension: moving-frame phases/positions shape mismatch"),
        ({"pos": np.zeros(5), "knm": np.zeros(3)}, "invalid dimension: moving-frame phases/positions shape mismatch"),
        ({"knm": np.zeros(15)}, "invalid dimension: moving-frame knm/alpha shape mismatch"),
        ({"alpha": np.zeros(15), "controls": _ctrl(0, -1.0)}, "invalid dimension: moving-frame knm/alpha shape mismatch"),
        ({"controls": _ctrl(0, -1.0)}, "integration diverged: invalid moving-frame controls"),
        ({"controls": _ctrl(0, math.inf)}, "integration diverged: invalid moving-frame controls"),
        ({"controls": _ctrl(2, 0.0)}, "integration diverged: invalid moving-frame controls"),
        ({"controls": _ctrl(3, -0.0)}, "integration diverged: invalid moving-frame controls"),
        ({"controls": _ctrl(4, math.nan)}, "integration diverged: invalid moving-frame controls"),
        ({"controls": _ctrl(5, math.inf)}, "integration diverged: invalid moving-frame controls"),
        ({"controls": _ctrl(6, 0.0), "n_steps": 2**62}, "integration diverged: invalid moving-frame controls"),
        ({"n_steps": 2**62}, "invalid dimension: moving-frame schedule is too large"),
        ({"vel": np.zeros(7)}, "invalid dimension: expected moving-frame schedule length 8, got omega=8 velocity=7"),
        ({"omega": np.zeros(3), "pos": np.array([0.0, math.nan, 0.0, 0.0])},
         "invalid dimension: expected moving-frame schedule length 8, got omega=3 velocity=8"),
        ({"pos": np.array([0.0, math.nan, 0.0, 0.0])}, "integration diverged: moving-frame positions/knm contain NaN/Inf"),
        ({"knm": np.full(16, math.inf)}, "integration diverged: moving-frame positions/knm contain NaN/Inf"),
        ({"pos": np.full(4, 1.5e308), "vel": np.full(8, 1e308), "controls": (1.0, 0, 1.0, 1.0, 1.0, 0.0, 1.0),
          "stepper": S(4, dt=1.0)},
         "integration diverged: spatial modulation inputs contain NaN/Inf"),
        ({"vel": np.array([0.0] * 5 + [math.nan] + [0.0] * 2)},
         "integration diverged: Doppler velocities/knm contain NaN/Inf"),
        ({"controls": (1e300, 3, 1.0, 1.0, 1e-300, 0.0, 1.0), "pos": np.zeros(4)},
         "integration diverged: Doppler velocities/knm contain NaN/Inf"),
        ({"alpha": np.full(16, math.nan)}, "integration diverged: omegas/knm/alpha/modulator contain NaN/Inf"),
    ],
    ids=["phases-len", "positions-len-first", "knm-len", "alpha-len-before-controls", "k-base-negative",
         "k-base-inf", "exponent-zero", "length-neg-zero", "epsilon-nan", "doppler-strength-inf",
         "controls-before-size", "too-large", "velocity-length", "lengths-before-finite", "position-nan",
         "knm-inf", "position-overflow", "velocity-nan-step-2", "weight-overflow", "alpha-nan"],
)
def test_moving_frame_checks(kwargs, message):
    with pytest.raises(ValueError) as info:
        _moving(**kwargs)
    assert str(info.value) == message


def test_moving_frame_accepts_negative_zero_base_and_any_code():
    out = _moving(controls=(-0.0, 200, 1.0, 1.0, 1.0, 0.0, 1.0))
    assert_array_equal(out, np.zeros(4))  # no coupling, no frequencies


def test_moving_frame_contiguity_order():
    strided = np.zeros(8)[::2]
    with pytest.raises(ValueError, match="^phases not contiguous$"):
        _moving(phases=strided, pos=strided)
    with pytest.raises(ValueError, match="^positions not contiguous$"):
        _moving(pos=strided, omega=np.zeros(16)[::2])
    with pytest.raises(ValueError, match="^The given array is not contiguous or is misaligned.$"):
        _moving(vel=np.zeros(16)[::2])


def test_moving_frame_state_after_late_failure(rng):
    n = 4
    th, w, K, A = network(rng, n)
    vel = rng.normal(size=3 * n)
    vel[2 * n + 3] = math.inf
    failing, reference = S(n, method="rk45"), S(n, method="rk45")
    args = (th, np.arange(n, dtype=float), np.tile(w, 3), K, 0.0, 0.0, A)
    with pytest.raises(ValueError, match="Doppler velocities/knm contain NaN/Inf"):
        failing.run_moving_frame_schedule(*args, vel, *CTRL, 3)
    reference.run_moving_frame_schedule(*args[:2], args[2][:2 * n], *args[3:], vel[:2 * n], *CTRL, 2)
    assert failing.last_dt == reference.last_dt != 0.01
    assert failing.order_parameter() == reference.order_parameter()


def test_schedules_with_euler_reference(rng):
    # The Doppler run with Euler and substeps, against the reference scheme.
    n, steps = 5, 2
    th, _, K, A = network(rng, n, lags=True)
    sched, vel = rng.normal(size=n * steps), rng.normal(size=n * steps)
    got = S(n, dt=0.04, n_substeps=2).run_doppler_schedule(th, sched, K, 0.5, 2.0, A, vel, 1.5, 0.3, steps)
    x = th
    for t in range(steps):
        d = ref_doppler(vel[t * n:(t + 1) * n], K, 1.5, 0.3)
        x = ref_euler(x, sched[t * n:(t + 1) * n] + d, K, 0.5, 2.0, A, 0.04, 2)
    assert_allclose(np.exp(1j * got), np.exp(1j * x), atol=1e-12)
