"""The dense UPDE stepper: construction, the right-hand side, the three
schemes and their controller, input checks, wrapping, threads and the
conversion rules of its methods."""

from __future__ import annotations

import math
import os
import select
import signal
import time

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import qor_kernel as qk

from conftest import TWO_PI, run_python

S = qk.PyUPDEStepper


# ---- NumPy reference of the equation and the schemes -----------------------------------


def rhs(th, w, K, zeta, psi, A):
    n = len(th)
    K = K.reshape(n, n)
    A = A.reshape(n, n)
    d = w + (K * np.sin(th[None, :] - th[:, None] - A)).sum(axis=1)
    if zeta != 0.0:
        d = d + zeta * np.sin(psi - th)
    return d


def wrap(x):
    x = np.fmod(x, TWO_PI)
    return np.where(x < 0.0, x + TWO_PI, x)


def ref_euler(th, w, K, zeta, psi, A, dt, n_sub=1):
    h = dt / n_sub
    for _ in range(n_sub):
        th = th + h * rhs(th, w, K, zeta, psi, A)
    return wrap(th)


def ref_rk4(th, w, K, zeta, psi, A, dt, n_sub=1):
    h = dt / n_sub
    f = lambda x: rhs(x, w, K, zeta, psi, A)  # noqa: E731
    for _ in range(n_sub):
        k1 = f(th)
        k2 = f(th + h / 2 * k1)
        k3 = f(th + h / 2 * k2)
        k4 = f(th + h * k3)
        th = th + h / 6 * (((k1 + 2 * k2) + 2 * k3) + k4)
    return wrap(th)


# Dormand-Prince 5(4) with the stepper's controller, written independently.
DP_A = [
    [],
    [1 / 5],
    [3 / 40, 9 / 40],
    [44 / 45, -56 / 15, 32 / 9],
    [19372 / 6561, -25360 / 2187, 64448 / 6561, -212 / 729],
    [9017 / 3168, -355 / 33, 46732 / 5247, 49 / 176, -5103 / 18656],
]
DP_B5 = [35 / 384, 0, 500 / 1113, 125 / 192, -2187 / 6784, 11 / 84, 0]
DP_B4 = [5179 / 57600, 0, 7571 / 16695, 393 / 640, -92097 / 339200, 187 / 2100, 1 / 40]


def ref_rk45(th, f, last_dt, dt, atol, rtol):
    """One adaptive step; returns (new phases unwrapped, new last_dt, h used, attempts)."""
    h = last_dt
    for attempt in range(4):
        k = [f(th)]
        for s in range(1, 6):
            k.append(f(th + h * sum(a * kk for a, kk in zip(DP_A[s], k))))
        y5 = th + h * sum(b * kk for b, kk in zip(DP_B5, k))
        k.append(f(y5))
        y4 = th + h * sum(b * kk for b, kk in zip(DP_B4, k))
        err = float(np.max(np.abs(y5 - y4) / (atol + rtol * np.maximum(np.abs(th), np.abs(y5))), initial=0.0))
        if err <= 1.0:
            g = 5.0 if err == 0.0 else min(0.9 * err ** -0.2, 5.0)
            return y5, min(h * g, 10 * dt), h, attempt + 1
        reduced = h * max(0.9 * err ** -0.25, 0.2)
        if attempt == 3:
            return y5, reduced, h, 4
        h = reduced
    raise AssertionError("unreachable")


def circular_error(a, b):
    return float(np.max(np.abs(np.angle(np.exp(1j * (np.asarray(a) - np.asarray(b)))))))


def network(rng, n, *, lags=False, coupling=1.5):
    th = rng.uniform(0.0, TWO_PI, n)
    w = rng.normal(0.0, 1.0, n)
    K = rng.uniform(0.0, 2.0 * coupling / n, n * n)
    A = rng.uniform(-0.8, 0.8, n * n) if lags else np.zeros(n * n)
    return th, w, K, A


# ---- construction --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((4,), {"method": "RK4"}, "unknown method: RK4"),
        ((0,), {"method": "bad"}, "unknown method: bad"),
        ((0,), {}, "invalid dimension: n must be > 0"),
        ((0,), {"dt": -1.0}, "invalid dimension: n must be > 0"),
        ((4,), {"dt": 0.0}, "invalid config: dt must be positive finite, got 0"),
        ((4,), {"dt": -0.0}, "invalid config: dt must be positive finite, got -0"),
        ((4,), {"dt": -0.5}, "invalid config: dt must be positive finite, got -0.5"),
        ((4,), {"dt": -1e-7}, "invalid config: dt must be positive finite, got -0.0000001"),
        ((4,), {"dt": math.nan}, "invalid config: dt must be positive finite, got NaN"),
        ((4,), {"dt": math.inf}, "invalid config: dt must be positive finite, got inf"),
        ((4,), {"dt": -2.0, "n_substeps": 0}, "invalid config: dt must be positive finite, got -2"),
        ((4,), {"n_substeps": 0, "atol": -1.0}, "invalid config: n_substeps must be >= 1"),
        ((4,), {"atol": 0.0, "rtol": -1.0}, "invalid config: atol must be positive finite, got 0"),
        ((4,), {"rtol": -math.inf}, "invalid config: rtol must be positive finite, got -inf"),
        ((4,), {"method": "rk45", "atol": 1e-3, "rtol": 1e-6}, "invalid config: for RK45, rtol must be >= atol"),
    ],
    ids=["method-case", "method-before-n", "n0", "n-before-config", "dt0", "dt-neg-zero", "dt-neg",
         "dt-tiny-neg", "dt-nan", "dt-inf", "dt-before-substeps", "substeps", "atol", "rtol", "rk45-tolerances"],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(ValueError) as info:
        S(*args, **kwargs)
    assert str(info.value) == message


def test_constructor_accepts_edge_values():
    assert S(4, method="rk4", atol=1e-3, rtol=1e-6).last_dt == 0.01
    assert S(4, dt=5e-324).last_dt == 5e-324  # subnormal but positive
    assert S(4, method="rk45", atol=1e-3, rtol=1e-3).n == 4
    s = S(3, dt=0.25, method="rk45", n_substeps=7, atol=1e-9, rtol=1e-4)
    assert (s.n, s.last_dt) == (3, 0.25)
    assert s.order_parameter() == (0.0, 0.0)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"n": -1}, OverflowError),
        ({"n": 2**64}, OverflowError),
        ({"n": 1.5}, TypeError),
        ({"n": 4, "n_substeps": 2**32}, OverflowError),
        ({"n": 4, "n_substeps": -1}, OverflowError),
        ({"n": 4, "method": 3}, TypeError),
        ({"n": 4, "dt": "0.1"}, TypeError),
        ({"n": 4, "steps": 1}, TypeError),
    ],
    ids=["n-negative", "n-too-wide", "n-float", "substeps-2**32", "substeps-negative", "method-int",
         "dt-str", "unknown-keyword"],
)
def test_constructor_conversion(kwargs, error):
    with pytest.raises(error):
        S(**kwargs)


def test_unallocatable_size_is_a_memory_error():
    with pytest.raises(MemoryError):
        S(2**62)


def test_constructor_accepts_index_objects():
    s = S(np.uint16(5), n_substeps=np.int64(2**32 - 1))
    assert s.n == 5


def test_text_signatures_and_docstrings():
    import inspect

    assert str(inspect.signature(S)) == "(n, dt=0.01, method='euler', n_substeps=1, atol=1e-06, rtol=0.001)"
    assert str(inspect.signature(S.step)) == "(self, /, phases, omegas, knm, zeta, psi, alpha)"
    assert S.step.__doc__ == "Advance phases by one step. Returns new phases as numpy array."
    assert S.run.__doc__ == "Run n_steps. Returns final phases as numpy array."
    assert S.run_omega_schedule.__doc__ == "Run n_steps with one omega vector per outer step."
    assert S.run_doppler_schedule.__doc__ == "Run n_steps with one omega vector and one velocity vector per step."
    assert S.run_moving_frame_schedule.__doc__ == "Run n_steps with omega, velocity, and axial position schedules."
    assert "PyUPDEStepper" in qk.__all__


# ---- the equation and the fixed-step schemes ----------------------------------------------


@pytest.mark.parametrize("n", [1, 7, 64, 255, 256, 300], ids=lambda n: f"n{n}")
@pytest.mark.parametrize("lags", [False, True], ids=["zero-lag", "lags"])
@pytest.mark.parametrize(
    "method, n_sub, ref", [("euler", 1, ref_euler), ("euler", 4, ref_euler), ("rk4", 3, ref_rk4)],
    ids=["euler", "euler-4sub", "rk4-3sub"],
)
def test_fixed_step_schemes_match_numpy(rng, n, lags, method, n_sub, ref):
    th, w, K, A = network(rng, n, lags=lags)
    s = S(n, dt=0.05, method=method, n_substeps=n_sub)
    got = s.step(th, w, K, 0.7, 1.3, A)
    expected = ref(th, w, K, 0.7, 1.3, A, 0.05, n_sub)
    # Derivatives are O(sum |K| + |omega| + zeta) ~ 5; rounding of sums of n
    # terms stays far below 1e-12 after a step of 0.05.
    assert circular_error(got, expected) < 1e-12
    assert np.all((got >= 0.0) & (got <= TWO_PI))


def test_euler_substeps_are_plain_steps_of_dt_over_n(rng):
    th, w, K, A = network(rng, 5)
    w *= 0.1  # stays inside one turn, so the intermediate wraps change nothing
    th = np.full(5, 3.0)
    one = S(5, dt=0.1, n_substeps=4).step(th, w, K, 0.0, 0.0, A)
    four = S(5, dt=0.025).run(th, w, K, 0.0, 0.0, A, 4)
    assert_array_equal(one, four)


def test_zero_lag_and_general_forms_agree(rng):
    # One lag on a link of zero strength switches the whole step to the general
    # form without changing the equation.
    for n in (9, 300):
        th, w, K, A = network(rng, n)
        K[1] = 0.0
        lagged = A.copy()
        lagged[1] = 0.3
        for method in ("euler", "rk4", "rk45"):
            a = S(n, method=method).run(th, w, K, 0.4, 2.0, A, 5)
            b = S(n, method=method).run(th, w, K, 0.4, 2.0, lagged, 5)
            assert circular_error(a, b) < 1e-12


def test_negative_zero_lag_counts_as_zero(rng):
    th, w, K, A = network(rng, 6)
    neg = A.copy()
    neg[7] = -0.0
    assert_array_equal(S(6).run(th, w, K, 0.0, 0.0, A, 3), S(6).run(th, w, K, 0.0, 0.0, neg, 3))


@pytest.mark.parametrize("lags", [False, True], ids=["zero-lag", "lags"])
@pytest.mark.parametrize("method", ["euler", "rk4"])
def test_sequential_and_parallel_paths_agree(rng, lags, method):
    # The 256th oscillator of the larger network is uncoupled, so the first 255
    # phases obey the same equations in both; n = 255 runs sequentially and
    # n = 256 on the parallel path.
    th, w, K, A = network(rng, 256, lags=lags)
    K2 = K.reshape(256, 256)
    K2[255, :] = 0.0
    K2[:, 255] = 0.0
    small_K = K2[:255, :255].ravel().copy()
    small_A = A.reshape(256, 256)[:255, :255].ravel().copy()
    big = S(256, method=method).run(th, w, K, 0.0, 0.0, A, 10)
    small = S(255, method=method).run(th[:255], w[:255], small_K, 0.0, 0.0, small_A, 10)
    assert circular_error(big[:255], small) < 1e-12


def test_diagonal_term_with_lag():
    # A single oscillator feels only K_00 sin(-alpha_00).
    got = S(1, dt=0.1).step(np.array([1.0]), np.array([0.5]), np.array([2.0]), 0.0, 0.0, np.array([0.3]))
    assert got[0] == pytest.approx(1.0 + 0.1 * (0.5 + 2.0 * math.sin(-0.3)), abs=1e-15)


def test_zero_drive_ignores_psi(rng):
    th, w, K, A = network(rng, 8)
    base = S(8).run(th, w, K, 0.0, 0.0, A, 3)
    assert_array_equal(base, S(8).run(th, w, K, 0.0, 1e300, A, 3))
    assert_array_equal(base, S(8).run(th, w, K, -0.0, -7.0, A, 3))


def test_drive_pulls_towards_psi():
    th = np.array([0.0])
    got = S(1, dt=0.01).step(th, np.zeros(1), np.zeros(1), 2.0, 1.0, np.zeros(1))
    assert got[0] == pytest.approx(0.01 * 2.0 * math.sin(1.0), rel=1e-14)


@pytest.mark.parametrize("method", ["euler", "rk4", "rk45"])
def test_phases_are_wrapped_after_every_step(method):
    th = np.array([-1e-20, -3.0, 1e6, 7.0 * TWO_PI + 0.5, TWO_PI])
    w = np.array([0.0, 0.0, 0.0, 0.0, -1.0])
    got = S(5, method=method).step(th, w, np.zeros(25), 0.0, 0.0, np.zeros(25))
    assert np.all((got >= 0.0) & (got <= TWO_PI))
    assert got[1] == pytest.approx(TWO_PI - 3.0, abs=1e-12)
    assert got[2] == pytest.approx(math.fmod(1e6, TWO_PI), abs=1e-9)


def test_step_equals_run_of_one_and_runs_compose(rng):
    th, w, K, A = network(rng, 40, lags=True)
    for method in ("euler", "rk4", "rk45"):
        a, b = S(40, method=method), S(40, method=method)
        x = th
        for _ in range(4):
            x = a.step(x, w, K, 0.3, 0.2, A)
        assert_array_equal(x, b.run(th, w, K, 0.3, 0.2, A, 4))
        assert a.last_dt == b.last_dt


# ---- RK45 and its controller ----------------------------------------------------------


def test_rk45_smooth_problem_grows_by_five_up_to_ten_dt():
    # Uncoupled oscillators: the derivative is constant and the error estimate
    # vanishes, so every step grows the proposal by 5 until it reaches 10 dt,
    # and each step advances by the step it was started with.
    w = np.array([0.3, -0.2, 0.1])
    s = S(3, dt=0.01, method="rk45")
    th = np.array([1.0, 2.0, 3.0])
    steps_taken = []
    for _ in range(4):
        before = s.last_dt
        new = s.step(th, w, np.zeros(9), 0.0, 0.0, np.zeros(9))
        assert_allclose(new, wrap(th + before * w), atol=1e-14)
        steps_taken.append(before)
        th = new
    assert steps_taken == [0.01, 0.05, 0.1, 0.1]
    assert s.last_dt == pytest.approx(0.1, abs=0)


@pytest.mark.parametrize(
    "coupling, dt, rejections",
    [(1.5, 0.01, False), (1.5, 0.3, False), (40.0, 0.5, True)],
    ids=["smooth", "moderate", "stiff"],
)
def test_rk45_matches_numpy_controller(rng, coupling, dt, rejections):
    n = 12
    th, w, K, A = network(rng, n, coupling=coupling, lags=True)
    s = S(n, dt=dt, method="rk45", atol=1e-6, rtol=1e-3)
    f = lambda x: rhs(x, w, K, 0.5, 1.0, A)  # noqa: E731
    last_dt = dt
    x = th
    attempts_seen = []
    for _ in range(3):
        y5, last_dt_ref, h, attempts = ref_rk45(x, f, last_dt, dt, 1e-6, 1e-3)
        got = s.step(x, w, K, 0.5, 1.0, A)
        attempts_seen.append(attempts)
        # Both start every step from the same state, so rounding does not
        # accumulate; stiff rejected attempts amplify it a little.
        assert circular_error(got, wrap(y5)) < 1e-12
        assert s.last_dt == pytest.approx(last_dt_ref, rel=1e-9)
        assert s.last_dt <= 10 * dt
        last_dt, x = s.last_dt, wrap(y5)
    assert (max(attempts_seen) > 1) == rejections


def test_rk45_gives_up_after_four_attempts():
    # With tolerances of 1e-12 and a strongly coupled network, every attempt
    # misses by orders of magnitude, so each shrink takes the floor factor
    # 0.2; the fourth candidate (step 0.2^3 dt) is kept and 0.2^4 dt proposed.
    rng = np.random.default_rng(1)
    th, w, K, A = network(rng, 12, coupling=100.0)
    f = lambda x: rhs(x, w, K, 0.0, 0.0, A)  # noqa: E731
    _, last_ref, h, attempts = ref_rk45(th, f, 1.0, 1.0, 1e-12, 1e-12)
    assert attempts == 4 and h == ((1.0 * 0.2) * 0.2) * 0.2
    s = S(12, dt=1.0, method="rk45", atol=1e-12, rtol=1e-12)
    got = s.step(th, w, K, 0.0, 0.0, A)
    assert s.last_dt == last_ref == (((1.0 * 0.2) * 0.2) * 0.2) * 0.2
    assert np.all(np.isfinite(got) & (got >= 0.0) & (got <= TWO_PI))
    # the next step starts from the reduced proposal and grows from there
    s.step(got, w, K, 0.0, 0.0, A)
    assert s.last_dt <= 5 * 0.2**4 * (1 + 1e-12)


def test_fixed_step_methods_leave_last_dt(rng):
    th, w, K, A = network(rng, 5, coupling=50.0)
    for method in ("euler", "rk4"):
        s = S(5, dt=0.2, method=method)
        s.run(th, w, K, 0.0, 0.0, A, 5)
        assert s.last_dt == 0.2


# ---- order parameter read-out ---------------------------------------------------------------


def test_order_parameter_reads_the_last_evaluated_state(rng):
    th, w, K, A = network(rng, 30)
    dt = 0.05
    # Euler: the phases at the start of the last sub-step.
    s = S(30, dt=dt, method="euler", n_substeps=2)
    s.step(th, w, K, 0.0, 0.0, A)
    mid = th + dt / 2 * rhs(th, w, K, 0.0, 0.0, A)
    assert_allclose(s.order_parameter(), qk.order_parameter(mid), atol=1e-12)
    # RK4: the fourth stage input theta + h k3.
    s = S(30, dt=dt, method="rk4")
    s.step(th, w, K, 0.0, 0.0, A)
    f = lambda x: rhs(x, w, K, 0.0, 0.0, A)  # noqa: E731
    k1 = f(th)
    k2 = f(th + dt / 2 * k1)
    k3 = f(th + dt / 2 * k2)
    assert_allclose(s.order_parameter(), qk.order_parameter(th + dt * k3), atol=1e-12)
    # RK45: the accepted solution.
    s = S(30, dt=dt, method="rk45")
    out = s.step(th, w, K, 0.0, 0.0, A)
    assert_allclose(s.order_parameter(), qk.order_parameter(out), atol=1e-12)


def test_order_parameter_of_synchronised_network():
    s = S(4)
    s.step(np.full(4, 1.0), np.zeros(4), np.zeros(16), 0.0, 0.0, np.zeros(16))
    r, psi = s.order_parameter()
    assert r == pytest.approx(1.0, abs=1e-15) and r <= 1.0 and psi == pytest.approx(1.0, abs=1e-15)


# ---- input checks and their order ---------------------------------------------------------


def _inputs(n=4):
    return [np.full(n, 0.5), np.ones(n), np.full(n * n, 0.1), 0.2, 0.3, np.zeros(n * n)]


def _with(index, value, n=4):
    args = _inputs(n)
    args[index] = value
    return args


NAN_PHASES = np.array([0.0, math.nan, 0.0, 0.0])


@pytest.mark.parametrize(
    "args, message",
    [
        (_with(0, np.zeros(3)), "invalid dimension: expected 4, got phases=3 omegas=4"),
        (_with(1, np.zeros(5)), "invalid dimension: expected 4, got phases=4 omegas=5"),
        (_with(2, np.zeros(9)), "invalid dimension: expected 16=4*4, got knm=9 alpha=16"),
        (_with(5, np.zeros(17)), "invalid dimension: expected 16=4*4, got knm=16 alpha=17"),
        (_with(0, NAN_PHASES), "integration diverged: input phases contain NaN/Inf"),
        (_with(1, np.array([0.0, 0.0, math.inf, 0.0])), "integration diverged: omegas/knm/alpha/modulator contain NaN/Inf"),
        (_with(2, np.full(16, -math.inf)), "integration diverged: omegas/knm/alpha/modulator contain NaN/Inf"),
        (_with(5, np.full(16, math.nan)), "integration diverged: omegas/knm/alpha/modulator contain NaN/Inf"),
        (_with(3, math.nan), "integration diverged: zeta is NaN/Inf"),
        (_with(4, math.inf), "integration diverged: psi is NaN/Inf"),
        ([np.zeros(4), np.ones(4), np.zeros(16), 0.0, math.nan, np.zeros(16)], "integration diverged: psi is NaN/Inf"),
        ([NAN_PHASES, np.ones(4), np.zeros(9), 0.0, 0.0, np.zeros(16)],
         "invalid dimension: expected 16=4*4, got knm=9 alpha=16"),
        ([NAN_PHASES, np.full(4, math.nan), np.zeros(16), math.nan, 0.0, np.zeros(16)],
         "integration diverged: input phases contain NaN/Inf"),
        ([np.zeros(4), np.full(4, math.nan), np.zeros(16), math.nan, 0.0, np.zeros(16)],
         "integration diverged: omegas/knm/alpha/modulator contain NaN/Inf"),
    ],
    ids=["phases-len", "omegas-len", "knm-len", "alpha-len", "phase-nan", "omega-inf", "knm-inf", "alpha-nan",
         "zeta-nan", "psi-inf", "psi-checked-without-drive", "shape-before-finite", "phases-before-omegas",
         "coupling-before-zeta"],
)
def test_step_checks(args, message):
    s = S(4, method="rk45")
    with pytest.raises(ValueError) as info:
        s.step(*args)
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        s.run(*args, 3)
    assert str(info.value) == message


def test_failed_checks_leave_state_untouched(rng):
    th, w, K, A = network(rng, 6)
    s = S(6, method="rk45")
    s.set_plasticity(0.5, 0.1)
    s.step(th, w, K, 0.0, 0.0, A)
    state = (s.last_dt, s.order_parameter())
    knm_before = K.copy()
    with pytest.raises(ValueError, match="zeta is NaN/Inf"):
        s.run(th, w, K, math.nan, 0.0, A, 5)
    assert (s.last_dt, s.order_parameter()) == state
    assert_array_equal(K, knm_before)


def test_run_zero_steps_returns_unvalidated_copy():
    s = S(3)
    th = np.array([math.nan, 100.0, -5.0])
    out = s.run(th, np.zeros(7), np.zeros(2), math.nan, math.inf, np.zeros(1), 0)
    assert_array_equal(out, th)
    assert out is not th and not np.shares_memory(out, th)
    assert s.order_parameter() == (0.0, 0.0)


def test_state_after_failing_run(rng):
    # An overflowing learning rate turns the coupling infinite after the first
    # step; the second step then fails. The first step's effects persist.
    n = 5
    th, w, K, A = network(rng, n)
    failing, reference = S(n, method="rk45"), S(n, method="rk45")
    for s in (failing, reference):
        s.set_plasticity(1e308, 0.0, 1e308)
    K_ref = K.copy()
    reference.step(th, w, K_ref, 0.0, 0.0, A)
    assert np.isinf(K_ref).any()
    with pytest.raises(ValueError, match="^integration diverged: omegas/knm/alpha/modulator contain NaN/Inf$"):
        failing.run(th, w, K, 0.0, 0.0, A, 10)
    assert_array_equal(K, K_ref)
    assert failing.last_dt == reference.last_dt != 0.01
    assert failing.order_parameter() == reference.order_parameter()


def test_state_after_failing_omega_schedule(rng):
    n = 4
    th, w, K, A = network(rng, n)
    sched = np.tile(w, 4)
    sched[2 * n + 1] = math.nan
    failing, reference = S(n, method="rk45"), S(n, method="rk45")
    K_fail, K_ref = K.copy(), K.copy()
    for s in (failing, reference):
        s.set_plasticity(0.3, 0.2)
    with pytest.raises(ValueError, match="omegas/knm/alpha/modulator contain NaN/Inf"):
        failing.run_omega_schedule(th, sched, K_fail, 0.0, 0.0, A, 4)
    reference.run_omega_schedule(th, sched[: 2 * n], K_ref, 0.0, 0.0, A, 2)
    assert_array_equal(K_fail, K_ref)
    assert failing.last_dt == reference.last_dt
    assert failing.order_parameter() == reference.order_parameter()


# ---- the conversion layer ----------------------------------------------------------------


def test_caller_phases_are_never_modified(rng):
    th, w, K, A = network(rng, 10)
    copy = th.copy()
    s = S(10, method="rk4")
    s.set_plasticity(0.1)
    out = s.run(th, w, K, 0.1, 0.1, A, 3)
    assert_array_equal(th, copy)
    assert out.flags.writeable and out.flags.owndata is False and not np.shares_memory(out, th)
    out[0] = 1.0  # the result is the caller's own array


@pytest.mark.parametrize(
    "index, value, error, start",
    [
        (0, [0.0, 0.0, 0.0, 0.0], TypeError, "phases"),
        (1, np.ones(4, dtype=np.float32), TypeError, "omegas"),
        (2, np.zeros((4, 4)), TypeError, "knm"),
        (5, np.zeros(16, dtype=np.int64), TypeError, "alpha"),
        (3, "0.1", TypeError, "zeta"),
        (4, None, TypeError, "psi"),
    ],
    ids=["list", "float32", "2d", "int64", "str-scalar", "none-scalar"],
)
def test_argument_types(index, value, error, start):
    with pytest.raises(error) as info:
        S(4).step(*_with(index, value))
    assert str(info.value).startswith(start)


def test_contiguity_messages():
    s = S(4)
    wide = np.zeros(8)
    with pytest.raises(ValueError) as info:
        s.step(*_with(0, wide[::2]))
    assert str(info.value) == "phases not contiguous"
    for index in (1, 2, 5):
        strided = np.zeros(2 * len(_inputs()[index]))[::2]
        with pytest.raises(ValueError) as info:
            s.run(*_with(index, strided), 1)
        assert str(info.value) == "The given array is not contiguous or is misaligned."
    # phases is checked first; an empty strided view passes the contiguity
    # check and fails only on its length.
    with pytest.raises(ValueError, match="^phases not contiguous$"):
        s.step(wide[::2], np.zeros(8)[::2], np.full(16, 0.1), 0.0, 0.0, np.zeros(16))
    with pytest.raises(ValueError, match="expected 4, got phases=0 omegas=4"):
        s.step(wide[:0:2], np.ones(4), np.full(16, 0.1), 0.0, 0.0, np.zeros(16))
    # a 2-D view in Fortran order is not one-dimensional at all
    with pytest.raises(TypeError):
        s.step(np.zeros((2, 2), order="F"), np.ones(4), np.full(16, 0.1), 0.0, 0.0, np.zeros(16))


def test_knm_must_be_writeable_and_unshared():
    s = S(4)
    args = _inputs()
    ro = args[2].copy()
    ro.flags.writeable = False
    for method in ("step", "run", "run_omega_schedule", "run_doppler_schedule"):
        extra = {"step": (), "run": (1,), "run_omega_schedule": (1,), "run_doppler_schedule": None}[method]
        if method == "run_doppler_schedule":
            call = lambda knm, alpha: s.run_doppler_schedule(  # noqa: E731
                args[0], np.ones(4), knm, 0.0, 0.0, alpha, np.zeros(4), 0.5, 1.0, 1)
        elif method == "run_omega_schedule":
            call = lambda knm, alpha: s.run_omega_schedule(args[0], np.ones(4), knm, 0.0, 0.0, alpha, 1)  # noqa: E731
        else:
            call = lambda knm, alpha, m=method, e=extra: getattr(s, m)(  # noqa: E731
                args[0], args[1], knm, 0.0, 0.0, alpha, *e)
        with pytest.raises(ValueError, match="knm: the array is read-only"):
            call(ro, args[5])
        shared = np.zeros(16)
        with pytest.raises(ValueError, match="memory with argument 'knm'"):
            call(shared, shared)
    # overlapping views of one buffer are shared memory too
    buf = np.full(16, 0.1)
    with pytest.raises(ValueError, match="must not share memory with argument 'phases'"):
        s.step(buf[:4], np.ones(4), buf, 0.0, 0.0, np.zeros(16))
    with pytest.raises(ValueError, match="must not share memory with argument 'omegas'"):
        s.step(args[0], buf[12:], buf, 0.0, 0.0, np.zeros(16))
    assert s.order_parameter() == (0.0, 0.0)  # nothing was integrated


@pytest.mark.parametrize("method", ["run", "run_omega_schedule"])
def test_negative_or_float_step_counts(method):
    s = S(4)
    a = _inputs()
    with pytest.raises(OverflowError):
        getattr(s, method)(a[0], a[1], a[2], 0.0, 0.0, a[5], -1)
    with pytest.raises(TypeError):
        getattr(s, method)(a[0], a[1], a[2], 0.0, 0.0, a[5], 1.0)
    schedule = a[1] if method == "run" else np.zeros(0)
    assert_array_equal(getattr(s, method)(a[0], schedule, a[2], 0.0, 0.0, a[5], np.int64(0)), a[0])


def test_keyword_arguments():
    s = S(4)
    a = _inputs()
    by_kw = s.run(n_steps=2, alpha=a[5], psi=a[4], zeta=a[3], knm=a[2], omegas=a[1], phases=a[0])
    assert_array_equal(by_kw, S(4).run(*a, 2))
    with pytest.raises(TypeError):
        s.step(*a, a[5])
    with pytest.raises(TypeError):
        s.step(*a[:5])
    with pytest.raises(TypeError):
        s.step(*a, phases=a[0])


class _Reentrant:
    def __init__(self, stepper, action):
        self.stepper = stepper
        self.action = action

    def __float__(self):
        self.action(self.stepper)
        return 0.0


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda s: s.order_parameter(), "Already mutably borrowed"),
        (lambda s: s.n, "Already mutably borrowed"),
        (lambda s: s.disable_plasticity(), "Already borrowed"),
        (lambda s: s.step(*_inputs()), "Already borrowed"),
    ],
    ids=["order-parameter", "property", "disable-plasticity", "step"],
)
def test_reentrant_call_from_argument_conversion(action, message):
    s = S(4)
    a = _inputs()
    with pytest.raises(RuntimeError, match=message):
        s.step(a[0], a[1], a[2], _Reentrant(s, action), a[4], a[5])
    # the stepper is free again afterwards and nothing was integrated
    assert s.order_parameter() == (0.0, 0.0)
    s.step(*a)


class _FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def test_float_like_scalars_are_accepted():
    from fractions import Fraction

    a = _inputs()
    ref = S(4).step(*a)
    assert_array_equal(S(4).step(a[0], a[1], a[2], Fraction(1, 5), _FloatLike(0.3), a[5]), ref)
    assert_array_equal(S(4).step(a[0], a[1], a[2], np.float64(0.2), 0.3, a[5]), ref)


# ---- threads ------------------------------------------------------------------------------

THREAD_SCRIPT = """
import hashlib, numpy as np, qor_kernel as qk
rng = np.random.default_rng(7)
digest = hashlib.sha256()
for n in (300, 512):
    th = rng.uniform(0, 6.283, n); w = rng.normal(size=n); K = rng.uniform(0, 3.0 / n, n * n)
    A = rng.uniform(-0.5, 0.5, n * n)
    for alpha in (np.zeros(n * n), A):
        for method in ("euler", "rk4", "rk45"):
            s = qk.PyUPDEStepper(n, dt=0.02, method=method)
            digest.update(s.run(th, w, K.copy(), 0.3, 1.0, alpha, 4).tobytes())
            digest.update(np.array(s.order_parameter() + (s.last_dt,)).tobytes())
        p = qk.PyUPDEStepper(n, method="rk4")
        p.set_plasticity(0.2, 0.1)
        Kp = K.copy()
        digest.update(p.run(th, w, Kp, 0.0, 0.0, alpha, 3).tobytes() + Kp.tobytes())
        m = qk.PyUPDEStepper(n)
        digest.update(m.run_moving_frame_schedule(th, rng.uniform(0, 3, n), np.tile(w, 2), K, 0.0, 0.0, alpha,
                      rng.normal(size=2 * n), 1.0, 2, 1.5, 2.0, 1.0, 0.1, 1.0, 2).tobytes())
print(digest.hexdigest())
"""


def test_results_do_not_depend_on_thread_count():
    one = run_python(THREAD_SCRIPT, env={"OMP_NUM_THREADS": "1"})
    two = run_python(THREAD_SCRIPT, env={"OMP_NUM_THREADS": "2"})
    assert one == two


def test_forked_child_completes_parallel_step(rng):
    n = 512
    th, w, K, A = network(rng, n, lags=True)
    expected = S(n, method="rk4").step(th, w, K, 0.1, 0.2, A)  # the parent has used the pool
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        try:
            os.close(read_fd)
            out = S(n, method="rk4").step(th, w, K, 0.1, 0.2, A)
            os.write(write_fd, out.tobytes())
        finally:
            os._exit(0)
    os.close(write_fd)
    data = b""
    deadline = time.monotonic() + 60.0
    try:
        while len(data) < 8 * n:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            ready, _, _ = select.select([read_fd], [], [], remaining)
            if not ready:
                break
            chunk = os.read(read_fd, 1 << 16)
            if not chunk:
                break
            data += chunk
    finally:
        os.close(read_fd)
        finished, _ = os.waitpid(pid, os.WNOHANG)
        if finished == 0:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    assert len(data) == 8 * n, "the forked child did not complete its step"
    assert_array_equal(np.frombuffer(data, dtype=np.float64), expected)


def test_threadpoolctl_controls_the_pool():
    out = run_python(
        """
        import numpy as np, qor_kernel as qk
        from threadpoolctl import threadpool_info, threadpool_limits
        pools = [p for p in threadpool_info() if p["internal_api"] == "openmp"]
        print(len(pools) >= 1, any("libgomp" in p["filepath"] for p in pools))
        rng = np.random.default_rng(3)
        n = 512
        th = rng.uniform(0, 6.283, n); w = rng.normal(size=n); K = rng.uniform(0, 0.01, n * n); A = np.zeros(n * n)
        free = qk.PyUPDEStepper(n, method="rk4").run(th, w, K, 0.0, 0.0, A, 3)
        with threadpool_limits(limits=1, user_api="openmp"):
            limited = [p["num_threads"] for p in threadpool_info() if p["internal_api"] == "openmp"]
            seq = qk.PyUPDEStepper(n, method="rk4").run(th, w, K, 0.0, 0.0, A, 3)
        print(limited, bool(np.array_equal(free, seq)))
        """,
        env={"OMP_NUM_THREADS": "2"},
    )
    assert out.split("\n")[:2] == ["True True", "[1] True"]


def test_module_links_libgomp_dynamically():
    import shutil
    import subprocess

    if shutil.which("ldd") is None:
        pytest.skip("ldd not available")
    out = subprocess.run(["ldd", qk.__file__], capture_output=True, text=True, check=True).stdout
    assert "libgomp" in out
