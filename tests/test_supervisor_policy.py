"""Built-in supervisor policy: regime decisions through its manager and the action table."""

import inspect
import math

import pytest

import qor_kernel as qk

DEGRADED = {"knob": "K", "scope": "global", "value": 0.05, "ttl_s": 10.0,
            "justification": "degraded: boost global coupling"}
RECOVERY = {"knob": "K", "scope": "global", "value": 0.025, "ttl_s": 15.0,
            "justification": "recovery: gradual coupling restore"}
DAMPING = {"knob": "zeta", "scope": "global", "value": 0.1, "ttl_s": 5.0, "justification": "critical: increase damping"}


def critical(layer=None):
    actions = [DAMPING]
    if layer is not None:
        actions.append({"knob": "K", "scope": f"layer_{layer}", "value": -0.03, "ttl_s": 5.0,
                        "justification": f"critical: reduce coupling on layer {layer}"})
    return actions


@pytest.mark.parametrize(
    "layer_rs, violations, expected",
    [
        ([0.8, 0.9], [], []),
        ([0.5, 0.55], [], [DEGRADED]),
        ([0.4, 0.1, 0.1], [], critical(1)),
        ([], [], critical()),
        ([0.9], ["v"], critical(0)),
        ([0.3, 0.2, 0.25], ["a", "b"], critical(1)),
        ([0.2, 0.1, 0.15, 0.1], [], critical(1)),
        ([0.0, 0.0], [], critical(0)),
        ([1.0, 0.0, 0.0, 0.0], [], critical(1)),
    ],
    ids=["nominal", "degraded", "critical-first-minimum", "critical-no-layers", "violation", "violations",
         "tie-lowest-index", "all-equal", "bounds-inclusive"],
)
def test_first_decision(layer_rs, violations, expected):
    assert qk.PySupervisorPolicy().decide(layer_rs, violations) == expected


def test_action_dict_shape():
    (action,) = qk.PySupervisorPolicy().decide([0.5], [])
    assert list(action) == ["knob", "scope", "value", "ttl_s", "justification"]
    assert [type(v) for v in action.values()] == [str, str, float, float, str]
    big = qk.PySupervisorPolicy().decide([0.1] * 12 + [0.05], [])
    assert big[1]["scope"] == "layer_12" and big[1]["justification"].endswith("layer 12")


def test_critical_keeps_its_actions_through_the_cooldown():
    p = qk.PySupervisorPolicy()  # cooldown 10
    assert p.decide([0.1], []) == critical(0)  # call 1: committed
    # Calls 2..10 propose recovery but are cooling down: critical stays current.
    for _ in range(9):
        assert p.decide([0.95], []) == critical(0)
    assert p.decide([0.95], []) == [RECOVERY]  # call 11: 10 calls since the change
    # Recovery -> nominal is proposed at once (0.95 >= 0.65) but cools down again.
    for _ in range(9):
        assert p.decide([0.95], []) == [RECOVERY]
    assert p.decide([0.95], []) == []


def test_recovery_needs_the_band_as_well_as_the_cooldown():
    p = qk.PySupervisorPolicy(cooldown_steps=0)
    assert p.decide([0.2], []) == critical(0)
    assert p.decide([0.9], []) == [RECOVERY]  # never straight to nominal
    for _ in range(5):
        assert p.decide([0.64], []) == [RECOVERY]  # below 0.6 + 0.05
    assert p.decide([0.66], []) == []


def test_degraded_cooling_down_keeps_the_degraded_action():
    p = qk.PySupervisorPolicy(cooldown_steps=3)
    assert p.decide([0.5], []) == [DEGRADED]
    assert p.decide([0.9], []) == [DEGRADED]
    assert p.decide([0.9], []) == [DEGRADED]
    assert p.decide([0.9], []) == []
    # Critical is never cooled down.
    assert p.decide([0.9], ["overheat"]) == critical(0)


@pytest.mark.parametrize(
    "layer_rs",
    [[1.2], [math.nan], [-0.1], [0.5, math.inf], [0.5, -math.inf], [0.5, 1.0000000000000002]],
    ids=["above-one", "nan", "negative", "inf", "minus-inf", "just-above-one"],
)
def test_invalid_snapshot_gets_nothing_and_changes_nothing(layer_rs):
    p = qk.PySupervisorPolicy(cooldown_steps=2)
    assert p.decide([0.1], []) == critical(0)  # step 1
    for _ in range(5):
        assert p.decide(layer_rs, []) == []
        assert p.decide(layer_rs, ["hard violation"]) == []
    # Still step 2 (1 < 2): had the invalid calls counted, this would be recovery.
    assert p.decide([0.95], []) == critical(0)
    assert p.decide([0.95], []) == [RECOVERY]


def test_out_of_range_values_never_decide_critical():
    p = qk.PySupervisorPolicy()
    assert p.decide([-0.5, -0.5], []) == []
    assert p.decide([0.5], []) == [DEGRADED]  # still the first transition


@pytest.mark.parametrize("hysteresis", [-1.0, math.nan, math.inf], ids=["negative", "nan", "inf"])
def test_hysteresis_sanitised(hysteresis):
    p = qk.PySupervisorPolicy(hysteresis=hysteresis, cooldown_steps=0)
    assert p.decide([0.5], []) == [DEGRADED]
    assert p.decide([0.6], []) == []  # band 0: back at 0.6
    default = qk.PySupervisorPolicy(cooldown_steps=0)
    default.decide([0.5], [])
    assert default.decide([0.6], []) == [DEGRADED]


def test_results_are_fresh_objects():
    p = qk.PySupervisorPolicy(cooldown_steps=100)
    first = p.decide([0.5], [])
    first[0]["value"] = 99.0
    first.append("junk")
    assert p.decide([0.5], []) == [DEGRADED]


@pytest.mark.parametrize(
    "call, error, where",
    [
        (lambda p: p.decide("0.5", []), TypeError, "layer_rs"),
        (lambda p: p.decide([None], []), TypeError, "layer_rs[0]"),
        (lambda p: p.decide([0.5], "violation"), TypeError, "hard_violations"),
        (lambda p: p.decide([0.5], [None]), TypeError, "hard_violations[0]"),
        (lambda p: p.decide([0.5]), TypeError, None),
    ],
    ids=["str-layer-rs", "none-element", "str-violations", "none-violation", "missing-argument"],
)
def test_decide_conversion_errors(call, error, where):
    p = qk.PySupervisorPolicy(cooldown_steps=0)
    with pytest.raises(error) as info:
        call(p)
    if where:
        assert str(info.value).startswith(where + ":")
    # Nothing was decided: the first valid call is still the first transition.
    assert p.decide([0.5], []) == [DEGRADED]


@pytest.mark.parametrize(
    "kwargs, error, where",
    [
        ({"cooldown_steps": -1}, OverflowError, "cooldown_steps"),
        ({"cooldown_steps": 0.5}, TypeError, "cooldown_steps"),
        ({"hysteresis": "wide"}, TypeError, "hysteresis"),
    ],
    ids=["negative", "float", "str"],
)
def test_constructor_conversion_errors(kwargs, error, where):
    with pytest.raises(error) as info:
        qk.PySupervisorPolicy(**kwargs)
    assert str(info.value).startswith(where + ":")


def test_reentrant_decide_is_refused():
    p = qk.PySupervisorPolicy()

    class Sneaky:
        def __float__(self):
            with pytest.raises(RuntimeError, match="Already borrowed"):
                p.decide([0.5], [])
            return 0.5

    assert p.decide([Sneaky()], []) == [DEGRADED]


def test_signature():
    assert str(inspect.signature(qk.PySupervisorPolicy)) == "(hysteresis=0.05, cooldown_steps=10)"
    assert str(inspect.signature(qk.PySupervisorPolicy.decide)) == "(self, /, layer_rs, hard_violations)"
    assert not hasattr(qk.PySupervisorPolicy(), "current")
