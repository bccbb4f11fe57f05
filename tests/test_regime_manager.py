"""Regime manager: proposals, hysteresis, hold, cooldown, forced transitions and the log."""

import inspect
import math

import numpy as np
import pytest

import qor_kernel as qk


def manager_in(regime, **kwargs):
    """A manager whose first (never cooled down) transition led to `regime`."""
    m = qk.PyRegimeManager(**kwargs)
    m.force_transition(regime)
    assert m.current == regime
    return m


# ---- proposals -----------------------------------------------------------------


@pytest.mark.parametrize(
    "layer_rs, violations, expected",
    [
        ([0.65], [], "nominal"),
        ([0.6], [], "nominal"),
        ([0.55], [], "degraded"),
        ([0.3], [], "degraded"),
        ([0.25], [], "critical"),
        ([0.2, 0.3], [], "critical"),
        ([], [], "critical"),
        ([0.9], ["any text"], "critical"),
        ([0.9], [""], "critical"),
        ([math.nan], [], "critical"),
        ([math.inf], [], "critical"),
        ([0.9, -math.inf], [], "critical"),
        ([7.0, 0.0], [], "nominal"),
    ],
    ids=["above", "at-0.6", "below-0.6", "at-0.3", "below-0.3", "mean-below-0.3", "no-layers", "violation",
         "empty-violation-text", "nan", "inf", "minus-inf", "unchecked-range"],
)
def test_proposal_from_nominal(layer_rs, violations, expected):
    m = qk.PyRegimeManager()
    assert m.evaluate(layer_rs, violations) == expected
    assert m.current == "nominal"
    assert m.transition_log == []


@pytest.mark.parametrize(
    "current, layer_rs, expected",
    [
        ("degraded", [0.62], "degraded"),
        ("degraded", [0.66], "nominal"),
        ("degraded", [0.6 + 0.05], "nominal"),
        ("degraded", [0.2], "critical"),
        ("critical", [0.95], "recovery"),
        ("critical", [0.5], "recovery"),
        ("critical", [0.25], "critical"),
        ("recovery", [0.62], "recovery"),
        ("recovery", [0.66], "nominal"),
        ("recovery", [0.1], "critical"),
    ],
    ids=["degraded-in-band", "degraded-above-band", "degraded-at-band-edge", "degraded-to-critical",
         "critical-high", "critical-mid", "critical-stays", "recovery-in-band", "recovery-above-band",
         "recovery-to-critical"],
)
def test_proposal_by_current_regime(current, layer_rs, expected):
    assert manager_in(current).evaluate(layer_rs, []) == expected


def test_evaluate_accepts_arrays_tuples_and_keywords():
    m = qk.PyRegimeManager()
    assert m.evaluate(np.array([0.5, 0.6]), ()) == "degraded"
    assert m.evaluate(layer_rs=(0.9, 0.8), hard_violations=["x"]) == "critical"
    assert m.evaluate([1, 1], []) == "nominal"


@pytest.mark.parametrize("hysteresis", [-1.0, math.nan, math.inf, -math.inf, 0.0, -0.0],
                         ids=["negative", "nan", "inf", "minus-inf", "zero", "minus-zero"])
def test_hysteresis_sanitised_to_zero(hysteresis):
    m = manager_in("degraded", hysteresis=hysteresis)
    assert m.evaluate([0.6], []) == "nominal"
    assert m.evaluate([0.5999999], []) == "degraded"


def test_wide_hysteresis_band_is_kept():
    m = manager_in("recovery", hysteresis=0.5)
    assert m.evaluate([1.0], []) == "recovery"
    assert m.evaluate([1.2], []) == "nominal"


# ---- transitions -----------------------------------------------------------------


def test_cooldown_sequence_from_a_new_manager():
    m = qk.PyRegimeManager()
    assert m.transition("degraded") == "degraded"  # step 1: the first transition is never cooled down
    assert m.transition("nominal") == "degraded"   # step 2: 1 < 10
    assert m.transition("critical") == "critical"  # step 3: critical passes at once
    assert m.transition_log == [(1, "nominal", "degraded"), (3, "degraded", "critical")]
    assert m.current == "critical"


def test_cooldown_counts_every_request():
    m = qk.PyRegimeManager(cooldown_steps=3)
    m.transition("degraded")                       # step 1, committed
    assert m.transition("degraded") == "degraded"  # step 2, same regime: counted, not logged
    assert m.transition("nominal") == "degraded"   # step 3: 2 < 3
    assert m.transition("nominal") == "nominal"    # step 4: 3 >= 3
    assert m.transition_log == [(1, "nominal", "degraded"), (4, "degraded", "nominal")]


def test_zero_cooldown_never_holds_back():
    m = qk.PyRegimeManager(cooldown_steps=0)
    assert [m.transition(r) for r in ("degraded", "nominal", "recovery", "nominal")] == [
        "degraded", "nominal", "recovery", "nominal"]
    assert [step for step, _, _ in m.transition_log] == [1, 2, 3, 4]


def test_hold_needs_consecutive_escalations():
    m = qk.PyRegimeManager(cooldown_steps=0, hysteresis_hold_steps=3)
    assert m.transition("degraded") == "nominal"
    assert m.transition("degraded") == "nominal"
    assert m.transition("degraded") == "degraded"
    assert m.transition_log == [(3, "nominal", "degraded")]

    m = qk.PyRegimeManager(cooldown_steps=0, hysteresis_hold_steps=3)
    assert m.transition("degraded") == "nominal"
    assert m.transition("degraded") == "nominal"
    assert m.transition("nominal") == "nominal"  # same regime: the count starts over
    assert m.transition("degraded") == "nominal"
    assert m.transition("degraded") == "nominal"
    assert m.transition("degraded") == "degraded"


def test_hold_skips_critical_and_de_escalations():
    m = qk.PyRegimeManager(cooldown_steps=0, hysteresis_hold_steps=5)
    assert m.transition("critical") == "critical"
    assert m.transition("degraded") == "degraded"  # severity 1 < 3: not held
    assert m.transition("recovery") == "degraded"  # severity 2 > 1: held
    assert m.transition("nominal") == "nominal"    # de-escalation: not held, and resets the count
    assert m.transition_log == [(1, "nominal", "critical"), (2, "critical", "degraded"), (4, "degraded", "nominal")]


def test_hold_of_one_passes_at_once():
    m = qk.PyRegimeManager(cooldown_steps=0, hysteresis_hold_steps=1)
    assert m.transition("degraded") == "degraded"


def test_held_escalation_passes_as_soon_as_the_cooldown_ends():
    m = qk.PyRegimeManager(cooldown_steps=5, hysteresis_hold_steps=2)
    m.force_transition("degraded")  # step 1
    results = [m.transition("recovery") for _ in range(5)]  # steps 2..6
    # Step 2 is held (count 1 < 2); steps 3-5 pass the hold but cool down,
    # keeping the count, so step 6 (6 - 1 >= 5) commits without a new hold.
    assert results == ["degraded"] * 4 + ["recovery"]
    assert m.transition_log[-1] == (6, "degraded", "recovery")


def test_force_transition_bypasses_cooldown_and_hold():
    m = qk.PyRegimeManager(hysteresis_hold_steps=4)
    assert m.transition("critical") == "critical"           # step 1
    assert m.force_transition("nominal") == "nominal"       # step 2, inside the cooldown
    assert m.force_transition("nominal") == "nominal"       # step 3: logs nothing, still counts
    assert m.force_transition("recovery") == "recovery"     # step 4: an escalation, not held
    assert m.transition_log == [(1, "nominal", "critical"), (2, "critical", "nominal"), (4, "nominal", "recovery")]
    # The forced change restarted the cooldown.
    assert m.transition("nominal") == "recovery"


def test_forced_transition_keeps_an_unrelated_hold_count():
    m = qk.PyRegimeManager(cooldown_steps=0, hysteresis_hold_steps=2)
    assert m.transition("degraded") == "nominal"         # hold count 1
    assert m.force_transition("nominal") == "nominal"    # same regime: the count is left alone
    assert m.transition("degraded") == "degraded"        # count 2: passes


def test_log_keeps_the_last_100_entries():
    m = qk.PyRegimeManager()
    regimes = ["degraded", "nominal"]
    for i in range(150):
        m.force_transition(regimes[i % 2])
    log = m.transition_log
    assert len(log) == 100
    assert log[0] == (51, "nominal", "degraded")
    assert log[-1] == (150, "degraded", "nominal")
    assert [entry[0] for entry in log] == list(range(51, 151))
    assert all(type(s) is int and type(a) is str and type(b) is str for s, a, b in log)


def test_transition_log_is_a_fresh_list():
    m = qk.PyRegimeManager()
    m.transition("degraded")
    log = m.transition_log
    log.append("junk")
    log[0] = None
    assert m.transition_log == [(1, "nominal", "degraded")]
    assert m.transition_log is not m.transition_log


# ---- errors ----------------------------------------------------------------------


@pytest.mark.parametrize("text", ["Nominal", " nominal", "nominal ", "", "NOMINAL", "normal", "nominal\0"],
                         ids=["capitalised", "leading-blank", "trailing-blank", "empty", "upper", "other", "nul"])
@pytest.mark.parametrize("method", ["transition", "force_transition"])
def test_unknown_regime_changes_nothing(method, text):
    m = qk.PyRegimeManager(cooldown_steps=2)
    m.transition("degraded")  # step 1
    with pytest.raises(ValueError) as info:
        getattr(m, method)(text)
    assert str(info.value) == "unknown regime: " + text
    # Had the failed call counted as a request, this would be step 3 and pass.
    assert m.transition("nominal") == "degraded"
    assert m.transition_log == [(1, "nominal", "degraded")]


@pytest.mark.parametrize(
    "call, error, where",
    [
        (lambda m: m.evaluate("0.5", []), TypeError, "layer_rs"),
        (lambda m: m.evaluate([0.5, "x"], []), TypeError, "layer_rs[1]"),
        (lambda m: m.evaluate({0.5: 1}, []), TypeError, "layer_rs"),
        (lambda m: m.evaluate([0.5], "violation"), TypeError, "hard_violations"),
        (lambda m: m.evaluate([0.5], ["a", 1]), TypeError, "hard_violations[1]"),
        (lambda m: m.evaluate([0.5], [b"bytes"]), TypeError, "hard_violations[0]"),
        (lambda m: m.transition(1), TypeError, "proposed"),
        (lambda m: m.force_transition(None), TypeError, "regime"),
    ],
    ids=["str-layer-rs", "str-element", "dict-layer-rs", "str-violations", "int-violation", "bytes-violation",
         "int-proposed", "none-regime"],
)
def test_argument_conversion_errors(call, error, where):
    m = qk.PyRegimeManager()
    with pytest.raises(error) as info:
        call(m)
    assert str(info.value).startswith(where + ":")
    assert m.current == "nominal" and m.transition_log == []


@pytest.mark.parametrize(
    "kwargs, error, where",
    [
        ({"cooldown_steps": -1}, OverflowError, "cooldown_steps"),
        ({"hysteresis_hold_steps": -1}, OverflowError, "hysteresis_hold_steps"),
        ({"cooldown_steps": 2**64}, OverflowError, "cooldown_steps"),
        ({"cooldown_steps": 1.0}, TypeError, "cooldown_steps"),
        ({"hysteresis": "0.1"}, TypeError, "hysteresis"),
        ({"hysteresis": None}, TypeError, "hysteresis"),
    ],
    ids=["negative-cooldown", "negative-hold", "cooldown-too-large", "float-cooldown", "str-hysteresis",
         "none-hysteresis"],
)
def test_constructor_conversion_errors(kwargs, error, where):
    with pytest.raises(error) as info:
        qk.PyRegimeManager(**kwargs)
    assert str(info.value).startswith(where + ":")


def test_constructor_accepts_index_and_float_like_objects():
    class Half:
        def __float__(self):
            return 0.5

    m = qk.PyRegimeManager(Half(), np.uint8(0), 2**64 - 1)
    m.force_transition("degraded")
    assert m.evaluate([1.0], []) == "degraded"  # band 0.6 + 0.5


def test_reentrant_call_during_conversion_is_refused():
    m = qk.PyRegimeManager()
    seen = []

    class Sneaky:
        def __float__(self):
            seen.append(m.current)  # a reader may share the object with evaluate
            with pytest.raises(RuntimeError, match="Already borrowed"):
                m.transition("critical")
            return 0.9

    assert m.evaluate([Sneaky()], []) == "nominal"
    assert seen == ["nominal"] and m.transition_log == []


def test_signatures_and_docstrings():
    assert str(inspect.signature(qk.PyRegimeManager)) == "(hysteresis=0.05, cooldown_steps=10, hysteresis_hold_steps=0)"
    assert str(inspect.signature(qk.PyRegimeManager.evaluate)) == "(self, /, layer_rs, hard_violations)"
    assert str(inspect.signature(qk.PyRegimeManager.transition)) == "(self, /, proposed)"
    assert str(inspect.signature(qk.PyRegimeManager.force_transition)) == "(self, /, regime)"
    assert qk.PyRegimeManager.force_transition.__doc__ == "Bypass cooldown and hysteresis hold — event-driven triggers."
    m = qk.PyRegimeManager()
    with pytest.raises(AttributeError):
        m.current = "critical"
    with pytest.raises(AttributeError):
        m.transition_log = []
