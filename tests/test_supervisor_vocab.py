"""The shared supervisor vocabulary as the decision classes show it: regime texts and
severities, and the snapshot built from layer order parameters."""

import itertools
import math

import pytest

import qor_kernel as qk

REGIMES = ["nominal", "degraded", "critical", "recovery"]
SEVERITY = {"nominal": 0, "degraded": 1, "recovery": 2, "critical": 3}


def test_regime_texts_round_trip():
    m = qk.PyRegimeManager()
    for regime in REGIMES[1:] + REGIMES[:1]:
        assert m.force_transition(regime) == regime
        assert m.current == regime
    assert [to for _, _, to in m.transition_log] == REGIMES[1:] + REGIMES[:1]


@pytest.mark.parametrize("source, target", list(itertools.permutations(REGIMES, 2)),
                         ids=[f"{a}-{b}" for a, b in itertools.permutations(REGIMES, 2)])
def test_only_non_critical_escalations_are_held(source, target):
    m = qk.PyRegimeManager(cooldown_steps=0, hysteresis_hold_steps=2)
    m.force_transition(source)
    held = target != "critical" and SEVERITY[target] > SEVERITY[source]
    assert m.transition(target) == (source if held else target)


def probe_engine(metrics_and_thresholds):
    """One rule per (metric, op, threshold), named after its index, firing in regime X."""
    rules = [(str(i), ["X"], [(metric, op, t)], "AND", [("K", "global", 0.0, 0.0)], 0.0, 0)
             for i, (metric, op, t) in enumerate(metrics_and_thresholds)]
    return qk.PyRuleEngine(rules)


@pytest.mark.parametrize("layer_rs", [[0.1, 0.2, 0.3], [0.3, 0.2, 0.1], [0.7, 0.1, 0.1, 0.1, 0.3]],
                         ids=["ascending", "descending", "five"])
def test_stability_proxy_is_the_index_order_mean(layer_rs):
    expected = 0.0
    for r in layer_rs:
        expected += r
    expected /= len(layer_rs)
    # >= and <= with the exact value both hold only for that very double.
    engine = probe_engine([("R", ">=", expected), ("R", "<=", expected),
                           ("stability_proxy", ">=", expected), ("stability_proxy", "<=", expected)])
    assert len(engine.evaluate_state("X", layer_rs, [], [])) == 4


def test_empty_snapshot_is_valid_with_proxy_zero():
    assert qk.PySupervisorPolicy().decide([], []) == [
        {"knob": "zeta", "scope": "global", "value": 0.1, "ttl_s": 5.0, "justification": "critical: increase damping"}]
    engine = probe_engine([("R", "==", 0.0), ("stability_proxy", "==", 0.0)])
    assert len(engine.evaluate_state("X", [], [], [])) == 2


@pytest.mark.parametrize(
    "layer_rs, valid",
    [([0.5, 1.2], False), ([0.5, math.nan], False), ([-0.0, 1.0], True), ([5e-324], True), ([-5e-324], False)],
    ids=["above-one", "nan", "closed-interval", "subnormal", "negative-subnormal"],
)
def test_snapshot_validation_bounds(layer_rs, valid):
    decision = qk.PySupervisorPolicy().decide(layer_rs, ["hard"])
    assert (decision != []) == valid
