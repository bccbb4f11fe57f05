"""Active inference agent: both control paths, configuration, target property."""

import inspect
import math

import numpy as np
import pytest

import qor_kernel as qk

from conftest import TWO_PI


def wrap(x):
    x = math.fmod(x, TWO_PI)
    return x + TWO_PI if x < 0 else x


def reference_control(phases, target):
    """Engine path from the order-parameter convention, computed with NumPy."""
    c, s = np.cos(phases).mean(), np.sin(phases).mean()
    r = min(math.sqrt(c * c + s * s), 1.0)
    psi = wrap(math.atan2(s, c))
    e = target - r
    return min(max(10.0 * e, 0.0), 5.0), (psi if e <= 0 else wrap(psi + math.pi))


def test_synchronised_phases_need_no_drive():
    assert qk.PyActiveInferenceAgent().control(phases=np.zeros(4)) == (0.0, 0.0)


def test_antiphase_pair_gets_full_drive_opposite_the_mean():
    x = np.array([0.0, math.pi])
    strength, phase = qk.PyActiveInferenceAgent().control(phases=x)
    r, psi = qk.order_parameter(x)
    # R is a rounding residue (about 6e-17), so the strength is 10*(0.5 - R).
    assert 0.0 < r < 1e-15
    assert strength == 10.0 * (0.5 - r)
    assert strength == pytest.approx(5.0)
    assert phase == wrap(psi + math.pi)


@pytest.mark.parametrize("target", [0.0, 0.3, 0.75, 1.0])
def test_engine_path_matches_reference(rng, target):
    agent = qk.PyActiveInferenceAgent(target_r=target, lr=3.0)
    for n in (1, 3, 40, 1000):
        for spread in (0.3, 1.5, math.pi):
            x = rng.normal(1.0, spread, n)
            strength, phase = agent.control(x)
            ref_strength, ref_phase = reference_control(x, target)
            assert strength == pytest.approx(ref_strength, abs=1e-12)
            assert 0.0 <= strength <= 5.0
            c, s = np.cos(x).mean(), np.sin(x).mean()
            # Away from the target the half-turn decision is unambiguous.
            if abs(target - math.hypot(c, s)) > 1e-9:
                assert math.cos(phase - ref_phase) == pytest.approx(1.0, abs=1e-12)


@pytest.mark.parametrize(
    "phases",
    [np.array([]), np.array([0.0, math.nan]), np.array([math.inf, 0.0, 0.0]), np.array([-math.inf])],
    ids=["empty", "nan", "inf", "minus-inf"],
)
def test_degenerate_phases(phases):
    assert qk.PyActiveInferenceAgent(target_r=0.9).control(phases) == (0.0, 0.0)


def test_non_contiguous_phases_are_copied(rng):
    agent = qk.PyActiveInferenceAgent(target_r=0.8)
    x = rng.uniform(0, 1, 31)
    assert agent.control(x[::3]) == agent.control(np.ascontiguousarray(x[::3]))
    assert agent.control(x[::-1]) == agent.control(x[::-1].copy())
    assert agent.control(x[:0:2]) == (0.0, 0.0)


def test_phases_take_precedence_over_summary_values():
    agent = qk.PyActiveInferenceAgent()
    assert agent.control(np.zeros(3), r_obs=0.0, psi_obs=2.0, dt=0.1) == (0.0, 0.0)


@pytest.mark.parametrize(
    "target, lr, kwargs, expected",
    [
        (0.5, 1.0, {}, (0.0, 0.0)),
        (0.5, 1.0, {"r_obs": 0.9, "psi_obs": 1.0}, (4.0, 1.0 + math.pi)),
        (0.5, 1.0, {"r_obs": 0.2, "psi_obs": -1.0}, (3.0, -1.0)),
        (0.5, 1.0, {"psi_obs": 10.0}, (0.0, 10.0)),
        (0.5, 1.0, {"r_obs": 0.5, "psi_obs": -7.0}, (0.0, -7.0)),
        (0.5, 1.0, {"r_obs": 0.9, "psi_obs": 6.0}, (4.0, wrap(6.0 + math.pi))),
        (0.5, 0.5, {"r_obs": 0.9}, (2.0, math.pi)),
        (0.2, 20.0, {"r_obs": 1.0}, (5.0, math.pi)),
        (0.8, 20.0, {"r_obs": 0.0, "psi_obs": 0.25}, (5.0, 0.25)),
        (0.5, 1.0, {"r_obs": -3.0}, (5.0, 0.0)),
    ],
    ids=["no-arguments", "above-target", "below-target", "psi-unwrapped", "at-target", "above-target-wraps",
         "lr-gain", "clamped-above", "clamped-below", "out-of-range-r"],
)
def test_summary_path(target, lr, kwargs, expected):
    strength, phase = qk.PyActiveInferenceAgent(target_r=target, lr=lr).control(**kwargs)
    assert strength == pytest.approx(expected[0], rel=1e-12)
    assert phase == pytest.approx(expected[1], rel=1e-15)


def test_summary_path_with_nan_observation():
    strength, phase = qk.PyActiveInferenceAgent().control(r_obs=math.nan, psi_obs=1.0)
    assert math.isnan(strength)
    assert phase == 1.0


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"n_hidden": 0}, "n_hidden > 0"),
        ({"n_hidden": 0, "lr": 0.0, "target_r": 2.0}, "n_hidden > 0"),
        ({"target_r": 1.5}, "target_r must be finite and in [0, 1]"),
        ({"target_r": -0.01}, "target_r must be finite and in [0, 1]"),
        ({"target_r": math.nan}, "target_r must be finite and in [0, 1]"),
        ({"target_r": 2.0, "lr": 0.0}, "target_r must be finite and in [0, 1]"),
        ({"lr": 0.0}, "lr must be finite and > 0"),
        ({"lr": -1.0}, "lr must be finite and > 0"),
        ({"lr": math.inf}, "lr must be finite and > 0"),
        ({"lr": math.nan}, "lr must be finite and > 0"),
    ],
    ids=["n-hidden-zero", "n-hidden-first", "target-high", "target-negative", "target-nan", "target-before-lr",
         "lr-zero", "lr-negative", "lr-inf", "lr-nan"],
)
def test_configuration_errors(kwargs, message):
    with pytest.raises(ValueError) as exc:
        qk.PyActiveInferenceAgent(**kwargs)
    assert str(exc.value) == "invalid config: " + message


def test_configuration_bounds_are_inclusive():
    for target in (0.0, -0.0, 1.0):
        assert qk.PyActiveInferenceAgent(n_hidden=1, target_r=target, lr=1e-300).target_r == target


@pytest.mark.parametrize(
    "kwargs, error, fragment",
    [
        ({"n_hidden": -1}, OverflowError, "n_hidden"),
        ({"n_hidden": 2**64}, OverflowError, "n_hidden"),
        ({"n_hidden": 4.0}, TypeError, "n_hidden"),
        ({"target_r": "0.5"}, TypeError, "target_r"),
        ({"lr": None}, TypeError, "lr"),
    ],
    ids=["negative", "too-large", "float-n-hidden", "str-target", "none-lr"],
)
def test_constructor_argument_errors(kwargs, error, fragment):
    with pytest.raises(error, match="^" + fragment):
        qk.PyActiveInferenceAgent(**kwargs)


@pytest.mark.parametrize(
    "kwargs, fragment",
    [
        ({"phases": [0.0, 1.0]}, "phases"),
        ({"phases": np.zeros(3, dtype=np.float32)}, "phases"),
        ({"phases": np.zeros((2, 2))}, "phases"),
        ({"r_obs": "0.5"}, "r_obs"),
        ({"psi_obs": [1.0]}, "psi_obs"),
        ({"dt": None}, "dt"),
    ],
    ids=["list", "float32", "two-dimensional", "str-r", "list-psi", "none-dt"],
)
def test_control_argument_errors(kwargs, fragment):
    with pytest.raises(TypeError, match="^" + fragment):
        qk.PyActiveInferenceAgent().control(**kwargs)


def test_target_property_is_writable_without_validation():
    agent = qk.PyActiveInferenceAgent()
    agent.target_r = 2.0
    assert agent.target_r == 2.0
    assert agent.control() == (0.0, 0.0)
    assert agent.control(r_obs=0.5, psi_obs=0.5) == (5.0, 0.5)
    assert agent.control(np.zeros(2)) == (5.0, math.pi)
    agent.target_r = 1
    assert agent.target_r == 1.0 and type(agent.target_r) is float
    with pytest.raises(TypeError, match="^target_r"):
        agent.target_r = "high"
    with pytest.raises(TypeError):
        del agent.target_r
    assert agent.target_r == 1.0


def test_control_holds_the_agent_exclusively():
    agent = qk.PyActiveInferenceAgent()

    class Sneaky:
        def __float__(self):
            agent.target_r  # a shared borrow while control holds the agent
            return 0.5

    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        agent.control(r_obs=Sneaky())

    class Sneakier:
        def __float__(self):
            agent.control()
            return 0.5

    with pytest.raises(RuntimeError, match="Already borrowed"):
        agent.target_r = Sneakier()
    assert agent.target_r == 0.5


def test_signatures():
    assert str(inspect.signature(qk.PyActiveInferenceAgent)) == "(n_hidden=4, target_r=0.5, lr=1.0)"
    assert str(inspect.signature(qk.PyActiveInferenceAgent.control)) == (
        "(self, /, phases=None, r_obs=None, psi_obs=None, dt=0.0)")
