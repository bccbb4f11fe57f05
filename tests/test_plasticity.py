"""Coupling plasticity of the dense UPDE stepper: the settings, the Hebbian
update on the caller's coupling array and where its alignment is measured."""

from __future__ import annotations

import math

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import qor_kernel as qk

from conftest import TWO_PI
from test_upde import network, ref_euler, ref_rk4, rhs, wrap

S = qk.PyUPDEStepper


def ref_update(K, align_phases, lr, decay, modulator, dt):
    """The update from the phases at which the derivative was last evaluated."""
    n = len(align_phases)
    s, c = np.sin(align_phases), np.cos(align_phases)
    alignment = np.outer(s, s) + np.outer(c, c)  # row i, column j: s_j s_i + c_j c_i
    new = K.reshape(n, n) * math.exp(-decay * dt) + ((modulator * lr) * alignment) * dt
    new = np.where(new > 0.0, new, 0.0)
    np.fill_diagonal(new, 0.0)
    return new.ravel()


def _small():
    th = np.array([0.0, 0.5, 2.0, 4.0])
    return th, np.array([0.1, -0.2, 0.3, 0.0]), np.array(
        [0.5, -0.3, 0.2, 0.1, 0.4, 0.9, -0.1, 0.0, 0.3, 0.2, -2.0, 0.6, 0.0, 0.1, 0.2, 0.3])


@pytest.mark.parametrize(
    "lr, decay",
    [(-0.1, 0.0), (0.1, -1e-300), (math.nan, 0.0), (0.1, math.inf), (math.inf, 0.0)],
    ids=["lr-negative", "decay-negative", "lr-nan", "decay-inf", "lr-inf"],
)
def test_set_plasticity_rejects_bad_settings_and_keeps_old_ones(lr, decay):
    th, w, K = _small()
    A = np.zeros(16)
    s = S(4)
    with pytest.raises(ValueError) as info:
        s.set_plasticity(lr, decay)
    assert str(info.value) == "invalid config: lr and decay must be finite and non-negative"
    K1 = K.copy()
    s.step(th, w, K1, 0.0, 0.0, A)
    assert_array_equal(K1, K)  # still disabled
    s.set_plasticity(0.2, 0.1, 0.5)
    with pytest.raises(ValueError):
        s.set_plasticity(lr, decay)
    K2 = K.copy()
    s.step(th, w, K2, 0.0, 0.0, A)
    assert_allclose(K2, ref_update(K, th, 0.2, 0.1, 0.5, 0.01), atol=1e-15)  # the earlier settings


def test_set_plasticity_accepts_negative_zero_and_defaults():
    s = S(4)
    assert s.set_plasticity(0.1, -0.0) is None
    assert s.set_plasticity(lr=0.0) is None
    assert s.disable_plasticity() is None
    with pytest.raises(TypeError):
        s.set_plasticity()


def test_zero_rates_only_clear_diagonal_and_negatives():
    th, w, K = _small()
    s = S(4)
    s.set_plasticity(0.0, 0.0)
    K1 = K.copy()
    s.step(th, w, K1, 0.0, 0.0, np.zeros(16))
    expected = np.where(K > 0, K, 0.0).reshape(4, 4)
    np.fill_diagonal(expected, 0.0)
    assert_array_equal(K1, expected.ravel())


def test_decay_without_learning_is_exponential():
    th, w, K = _small()
    K = np.abs(K)
    s = S(4, dt=0.1, method="rk4")
    s.set_plasticity(0.0, 2.0)
    K1 = K.copy()
    s.run(th, w, K1, 0.0, 0.0, np.zeros(16), 3)
    expected = K.reshape(4, 4) * math.exp(-2.0 * 0.1) ** 3
    np.fill_diagonal(expected, 0.0)
    assert_allclose(K1, expected.ravel(), rtol=1e-14)


@pytest.mark.parametrize("phases, sign", [([1.0, 1.0], 1.0), ([0.0, math.pi], -1.0)], ids=["in-phase", "anti-phase"])
def test_alignment_gain_and_clamp(phases, sign):
    s = S(2, dt=0.1)
    s.set_plasticity(0.5, 0.0, 2.0)
    K = np.array([0.0, 0.05, 0.05, 0.0])
    s.step(np.array(phases), np.zeros(2), K, 0.0, 0.0, np.zeros(4))
    if sign > 0:
        assert_allclose(K, [0.0, 0.05 + 0.1, 0.05 + 0.1, 0.0], rtol=1e-14)
    else:
        assert_array_equal(K, np.zeros(4))  # 0.05 - 0.1 clamped


@pytest.mark.parametrize("n", [5, 40, 300], ids=lambda n: f"n{n}")
@pytest.mark.parametrize("lags", [False, True], ids=["zero-lag", "lags"])
@pytest.mark.parametrize("method", ["euler", "rk4"])
def test_plastic_run_matches_numpy(rng, n, lags, method):
    # The coupling changes between steps, so the stepper's per-call tables must
    # follow it; the alignment comes from the last derivative evaluation: the
    # start of the step for Euler, the fourth-stage input for RK4.
    th, w, K, A = network(rng, n, lags=lags)
    lr, decay, mod, dt = 0.8, 0.3, 1.5, 0.05
    s = S(n, dt=dt, method=method)
    s.set_plasticity(lr, decay, mod)
    K_ours = K.copy()
    out = s.run(th, w, K_ours, 0.2, 0.4, A, 4)
    x, K_ref = th.copy(), K.copy()
    for _ in range(4):
        if method == "euler":
            align = x
            x = ref_euler(x, w, K_ref, 0.2, 0.4, A, dt)
        else:
            f = lambda y: rhs(y, w, K_ref, 0.2, 0.4, A)  # noqa: E731
            k1 = f(x)
            k2 = f(x + dt / 2 * k1)
            k3 = f(x + dt / 2 * k2)
            align = x + dt * k3
            x = ref_rk4(x, w, K_ref, 0.2, 0.4, A, dt)
        K_ref = ref_update(K_ref, align, lr, decay, mod, dt)
    assert_allclose(K_ours, K_ref, atol=1e-13)
    assert np.max(np.abs(np.angle(np.exp(1j * (out - x))))) < 1e-12


def test_rk45_plasticity_uses_configured_dt(rng):
    th, w, K, A = network(rng, 6)
    s = S(6, dt=0.02, method="rk45")
    s.set_plasticity(0.0, 5.0)
    K1 = K.copy()
    s.run(th, w, K1, 0.0, 0.0, A, 3)
    assert s.last_dt != 0.02
    expected = K.reshape(6, 6) * math.exp(-5.0 * 0.02) ** 3
    np.fill_diagonal(expected, 0.0)
    assert_allclose(K1, expected.ravel(), rtol=1e-14)


def test_rk45_alignment_is_the_accepted_solution(rng):
    th, w, K, A = network(rng, 8)
    s = S(8, dt=0.05, method="rk45")
    s.set_plasticity(0.5, 0.0)
    K1 = K.copy()
    out = s.step(th, w, K1, 0.0, 0.0, A)
    assert_allclose(K1, ref_update(K, out, 0.5, 0.0, 1.0, 0.05), atol=1e-15)


def test_plasticity_in_every_schedule_run(rng):
    n, steps = 6, 3
    th, w, K, A = network(rng, n)
    sched = np.tile(w, steps)
    vel = np.zeros(n * steps)
    results = {}
    for name, call in {
        "run": lambda s, k: s.run(th, w, k, 0.0, 0.0, A, steps),
        "omega": lambda s, k: s.run_omega_schedule(th, sched, k, 0.0, 0.0, A, steps),
        "doppler": lambda s, k: s.run_doppler_schedule(th, sched, k, 0.0, 0.0, A, vel, 1.0, 1.0, steps),
    }.items():
        s = S(n)
        s.set_plasticity(0.4, 0.1)
        k = K.copy()
        results[name] = (call(s, k), k)
        assert not np.array_equal(k, K)
    for name in ("omega", "doppler"):
        assert_array_equal(results[name][0], results["run"][0])
        assert_array_equal(results[name][1], results["run"][1])


@pytest.mark.parametrize("n", [6, 300], ids=lambda n: f"n{n}")
def test_moving_frame_never_changes_knm_and_ignores_plasticity(rng, n):
    th, w, K, A = network(rng, n, lags=True)
    pos = rng.uniform(0.0, 2.0, n)
    vel = rng.normal(0.0, 1.0, 3 * n)
    args = (th, pos, np.tile(w, 3), K, 0.1, 0.2, A, vel, 1.0, 1, 1.0, 1.5, 1.0, 0.2, 1.0, 3)
    plain = S(n).run_moving_frame_schedule(*args)
    s = S(n)
    s.set_plasticity(5.0, 1.0)
    K_before, pos_before = K.copy(), pos.copy()
    assert_array_equal(s.run_moving_frame_schedule(*args), plain)
    assert_array_equal(K, K_before)
    assert_array_equal(pos, pos_before)


def test_moving_frame_accepts_read_only_and_shared_coupling(rng):
    n = 4
    th, w, K, A = network(rng, n)
    K.flags.writeable = False
    shared = np.zeros(n * n)
    out = S(n).run_moving_frame_schedule(th, np.zeros(n), w, K, 0.0, 0.0, shared.copy(), np.zeros(n),
                                         1.0, 0, 1.0, 1.0, 1.0, 0.0, 1.0, 1)
    # knm and alpha may even be the same array: both are only read
    same = S(n).run_moving_frame_schedule(th, np.zeros(n), w, shared, 0.0, 0.0, shared, np.zeros(n),
                                          1.0, 0, 1.0, 1.0, 1.0, 0.0, 1.0, 1)
    assert_allclose(same, wrap(th + 0.01 * w), atol=1e-15)
    assert out.shape == (n,)


def test_non_finite_modulator_blocks_every_step_until_replaced(rng):
    th, w, K, A = network(rng, 4)
    s = S(4)
    assert s.set_plasticity(0.1, 0.0, math.nan) is None
    message = "integration diverged: omegas/knm/alpha/modulator contain NaN/Inf"
    for call in (
        lambda: s.step(th, w, K, 0.0, 0.0, A),
        lambda: s.run_omega_schedule(th, w, K, 0.0, 0.0, A, 1),
        lambda: s.run_moving_frame_schedule(th, np.zeros(4), w, K, 0.0, 0.0, A, np.zeros(4),
                                            1.0, 0, 1.0, 1.0, 1.0, 0.0, 1.0, 1),
    ):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    s.disable_plasticity()
    with pytest.raises(ValueError, match="modulator"):
        s.step(th, w, K, 0.0, 0.0, A)
    s.set_plasticity(0.1, 0.0, 1.0)
    s.disable_plasticity()
    K_before = K.copy()
    s.step(th, w, K, 0.0, 0.0, A)
    assert_array_equal(K, K_before)  # disabled again, with a finite modulator


def test_infinite_learning_term_is_caught_by_the_next_step(rng):
    th, w, K, A = network(rng, 3)
    s = S(3)
    s.set_plasticity(1e200, 0.0, 1e200)  # modulator * lr overflows
    s.step(th, w, K, 0.0, 0.0, A)
    assert np.isinf(K).any() and np.all(np.diag(K.reshape(3, 3)) == 0.0)
    with pytest.raises(ValueError, match="omegas/knm/alpha/modulator contain NaN/Inf"):
        s.step(th, w, K, 0.0, 0.0, A)


def test_phases_wrap_after_the_update():
    # The update reads the unwrapped state; wrapping does not change its sines.
    s = S(2, dt=1.0)
    s.set_plasticity(1.0, 0.0)
    K = np.array([0.0, 1e-3, 1e-3, 0.0])
    out = s.step(np.array([3 * TWO_PI + 0.1, 0.1]), np.zeros(2), K, 0.0, 0.0, np.zeros(4))
    assert np.all(out < TWO_PI)
    assert_allclose(K[1], 1e-3 + 1.0, rtol=1e-12)
