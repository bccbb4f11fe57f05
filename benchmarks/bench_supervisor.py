"""Regime manager, supervisor policy and rule engine.

These run in a control loop next to the integrators, so every call has to be
cheap. There is no outside library doing the same, so the reference is the
same logic written as a small plain-Python class (what a user would otherwise
write); both sides are fed the same arguments.
"""

from __future__ import annotations

import math
from collections import deque

import numpy as np

import qor_kernel as qk
from harness import case

rng = np.random.default_rng(4242)

SEVERITY = {"nominal": 0, "degraded": 1, "recovery": 2, "critical": 3}


class RefRegimeManager:
    def __init__(self, hysteresis=0.05, cooldown_steps=10, hysteresis_hold_steps=0):
        self.hysteresis = hysteresis if math.isfinite(hysteresis) and hysteresis >= 0.0 else 0.0
        self.cooldown_steps = cooldown_steps
        self.hold_steps = hysteresis_hold_steps
        self.step_count = 0
        self.last_transition_step = 0
        self.hold_counter = 0
        self.current = "nominal"
        self.log = deque(maxlen=100)

    def evaluate(self, layer_rs, hard_violations):
        layer_rs = [float(r) for r in layer_rs]
        mean = sum(layer_rs) / len(layer_rs) if layer_rs else 0.0
        if not math.isfinite(mean) or mean < 0.3 or hard_violations:
            return "critical"
        back = 0.6 + self.hysteresis
        if self.current == "nominal":
            return "degraded" if mean < 0.6 else "nominal"
        if self.current == "degraded":
            return "degraded" if mean < back else "nominal"
        if self.current == "critical":
            return "recovery"
        return "recovery" if mean < back else "nominal"

    def transition(self, proposed):
        if proposed not in SEVERITY:
            raise ValueError(f"unknown regime: {proposed}")
        self.step_count += 1
        if proposed == self.current:
            self.hold_counter = 0
            return self.current
        if self.hold_steps and proposed != "critical" and SEVERITY[proposed] > SEVERITY[self.current]:
            self.hold_counter += 1
            if self.hold_counter < self.hold_steps:
                return self.current
        else:
            self.hold_counter = 0
        if (self.last_transition_step and proposed != "critical"
                and max(self.step_count - self.last_transition_step, 0) < self.cooldown_steps):
            return self.current
        return self.commit(proposed)

    def force_transition(self, regime):
        if regime not in SEVERITY:
            raise ValueError(f"unknown regime: {regime}")
        self.step_count += 1
        if regime != self.current:
            self.commit(regime)
        return self.current

    def commit(self, to):
        self.log.append((self.step_count, self.current, to))
        self.last_transition_step = self.step_count
        self.current = to
        self.hold_counter = 0
        return to

    @property
    def transition_log(self):
        return list(self.log)


class RefSupervisorPolicy:
    def __init__(self, hysteresis=0.05, cooldown_steps=10):
        self.manager = RefRegimeManager(hysteresis, cooldown_steps, 0)

    def decide(self, layer_rs, hard_violations):
        layer_rs = [float(r) for r in layer_rs]
        hard_violations = [str(v) for v in hard_violations]
        if any(not (math.isfinite(r) and 0.0 <= r <= 1.0) for r in layer_rs):
            return []
        regime = self.manager.transition(self.manager.evaluate(layer_rs, hard_violations))
        if regime == "degraded":
            return [{"knob": "K", "scope": "global", "value": 0.05, "ttl_s": 10.0,
                     "justification": "degraded: boost global coupling"}]
        if regime == "recovery":
            return [{"knob": "K", "scope": "global", "value": 0.025, "ttl_s": 15.0,
                     "justification": "recovery: gradual coupling restore"}]
        if regime == "critical":
            out = [{"knob": "zeta", "scope": "global", "value": 0.1, "ttl_s": 5.0,
                    "justification": "critical: increase damping"}]
            if layer_rs:
                m = min(range(len(layer_rs)), key=layer_rs.__getitem__)
                out.append({"knob": "K", "scope": f"layer_{m}", "value": -0.03, "ttl_s": 5.0,
                            "justification": f"critical: reduce coupling on layer {m}"})
            return out
        return []


OPS = {">": lambda v, t: v > t, ">=": lambda v, t: v >= t, "<": lambda v, t: v < t, "<=": lambda v, t: v <= t,
       "==": lambda v, t: abs(v - t) < 1e-12}


class RefRuleEngine:
    def __init__(self, rules):
        self.rules = []
        for name, regimes, conditions, logic, actions, cooldown_s, max_fires in rules:
            logic = logic.upper()
            if logic not in ("AND", "OR"):
                raise ValueError(f"unknown rule logic: {logic}")
            conds = [(metric, OPS[op], float(t)) for metric, op, t in conditions]
            self.rules.append((name, [r.upper() for r in regimes], conds, logic == "AND",
                               [(k, s, float(v), float(ttl), name) for k, s, v, ttl in actions],
                               float(cooldown_s), int(max_fires)))
        self.fire_counts = {}
        self.last_fire_times = {}
        self.clock = 0.0

    def evaluate(self, regime, ctx):
        ctx = {str(k): float(v) for k, v in ctx.items()}
        if not regime.strip():
            return []
        regime = regime.upper()
        out = []
        for name, regimes, conds, is_and, actions, cooldown_s, max_fires in self.rules:
            if regime not in regimes:
                continue
            tests = (metric in ctx and math.isfinite(ctx[metric]) and op(ctx[metric], t) for metric, op, t in conds)
            if not (all(tests) if is_and else any(tests)):
                continue
            if cooldown_s > 0 and name in self.last_fire_times and cooldown_s > self.clock - self.last_fire_times[name]:
                continue
            count = self.fire_counts.get(name, 0)
            if max_fires and count >= max_fires:
                continue
            self.fire_counts[name] = count + 1
            self.last_fire_times[name] = self.clock
            out.extend(actions)
        return out

    def evaluate_state(self, regime, layer_rs, good_layers, bad_layers, extra=None):
        layer_rs = [float(r) for r in layer_rs]
        ctx = dict(extra) if extra else {}
        n = len(layer_rs)
        ctx["stability_proxy"] = ctx["R"] = sum(layer_rs) / n if n else 0.0
        for i, r in enumerate(layer_rs):
            ctx[f"R.{i}"] = ctx[f"R_{i}"] = r
            ctx[f"psi.{i}"] = ctx[f"psi_{i}"] = 0.0
        for family, positions in (("R_good", good_layers), ("R_bad", bad_layers)):
            for k, g in enumerate(positions):
                if g < n:
                    ctx[f"{family}.{k}"] = ctx[f"{family}_{k}"] = layer_rs[g]
        return self.evaluate(regime, ctx)

    def advance_clock(self, dt):
        if math.isfinite(dt) and dt >= 0.0:
            self.clock += dt

    def reset(self):
        self.fire_counts.clear()
        self.last_fire_times.clear()
        self.clock = 0.0

    def fire_count(self, rule_name):
        return self.fire_counts.get(rule_name, 0)

    def last_fire_time(self, rule_name):
        return self.last_fire_times.get(rule_name)


# ---- inputs -------------------------------------------------------------------------

LAYERS = [float(r) for r in rng.uniform(0.62, 0.95, 8)]
BOOST = ("K", "global", 0.1, 5.0)
METRICS = {f"m{i}": float(v) for i, v in enumerate(rng.uniform(0.0, 1.0, 20))}


def metric_rules():
    """20 rules over the 20 metrics: two conditions each, AND and OR alternating;
    about half of them fire on METRICS."""
    rules = []
    for i in range(20):
        a, b = f"m{i}", f"m{(i * 7 + 3) % 20}"
        rules.append((f"rule{i}", ["nominal", "degraded"], [(a, ">", 0.5), (b, "<=", 0.5)],
                      "AND" if i % 2 else "or", [("K", "global", 0.01 * i, 5.0)], 0.0, 0))
    return rules


def layer_rules():
    """20 rules over names evaluate_state derives from 8 layers (and an extra metric)."""
    names = (["R", "stability_proxy", "load"] + [f"R.{i}" for i in range(8)] + [f"R_good_{k}" for k in range(4)]
             + [f"R_bad.{k}" for k in range(4)] + ["psi_0"])
    return [(f"layer{i}", ["nominal"], [(name, "<", 0.8)], "AND", [("K", f"layer_{i % 8}", 0.01, 5.0)], 0.0, 0)
            for i, name in enumerate(names)]


def fired(ours, ref):
    assert ours() == ref(), "ours and the reference disagree"
    return ours, ref


# ---- regime manager ---------------------------------------------------------------


@case("PyRegimeManager.evaluate", size="8 layers", reference="plain-Python class", target="<= 1 us per call")
def _():
    ours, ref = qk.PyRegimeManager(), RefRegimeManager()
    return fired(lambda: ours.evaluate(LAYERS, []), lambda: ref.evaluate(LAYERS, []))


@case("PyRegimeManager.evaluate/array", size="8 layers", reference="plain-Python class", target="<= 1 us per call")
def _():
    ours, ref = qk.PyRegimeManager(), RefRegimeManager()
    layers = np.array(LAYERS)
    return fired(lambda: ours.evaluate(layers, []), lambda: ref.evaluate(layers, []))


@case("PyRegimeManager.transition", size="cooldown 10", reference="plain-Python class", target="<= 5 us per call",
      per=4)
def _():
    # Alternating proposals: mostly cooling down, one accepted change every 10 calls.
    ours, ref = qk.PyRegimeManager(), RefRegimeManager()
    proposals = ["degraded", "nominal"] * 2

    def run(m):
        for p in proposals:
            m.transition(p)

    return (lambda: run(ours)), (lambda: run(ref))


@case("PyRegimeManager.force_transition", size="full log", reference="plain-Python class",
      target="<= 5 us per call", per=2)
def _():
    ours, ref = qk.PyRegimeManager(), RefRegimeManager()

    def run(m):
        m.force_transition("critical")
        m.force_transition("recovery")

    for _ in range(60):
        run(ours), run(ref)
    return (lambda: run(ours)), (lambda: run(ref))


@case("PyRegimeManager.current", size="-", reference="plain-Python class", target="<= 5 us per call")
def _():
    ours, ref = qk.PyRegimeManager(), RefRegimeManager()
    return (lambda: ours.current), (lambda: ref.current)


@case("PyRegimeManager.transition_log", size="100 entries", reference="plain-Python class",
      target="<= 5 us per call")
def _():
    ours, ref = qk.PyRegimeManager(), RefRegimeManager()
    for i in range(150):
        ours.force_transition(("degraded", "nominal")[i % 2])
        ref.force_transition(("degraded", "nominal")[i % 2])
    return fired(lambda: ours.transition_log, lambda: ref.transition_log)


# ---- supervisor policy ----------------------------------------------------------------


@case("PySupervisorPolicy.decide", size="8 layers nominal", reference="plain-Python class",
      target="<= 5 us per call")
def _():
    ours, ref = qk.PySupervisorPolicy(), RefSupervisorPolicy()
    return fired(lambda: ours.decide(LAYERS, []), lambda: ref.decide(LAYERS, []))


@case("PySupervisorPolicy.decide", size="8 layers critical", reference="plain-Python class",
      target="<= 5 us per call")
def _():
    ours, ref = qk.PySupervisorPolicy(), RefSupervisorPolicy()
    violations = ["temperature above limit"]
    return fired(lambda: ours.decide(LAYERS, violations), lambda: ref.decide(LAYERS, violations))


# ---- rule engine ----------------------------------------------------------------------


@case("PyRuleEngine.evaluate", size="20 rules/20 metrics", reference="plain-Python class",
      target="<= 5 us per call")
def _():
    ours, ref = qk.PyRuleEngine(metric_rules()), RefRuleEngine(metric_rules())
    return fired(lambda: ours.evaluate("Nominal", METRICS), lambda: ref.evaluate("Nominal", METRICS))


@case("PyRuleEngine.evaluate_state", size="20 rules/8 layers", reference="plain-Python class",
      target="<= 5 us per call")
def _():
    ours, ref = qk.PyRuleEngine(layer_rules()), RefRuleEngine(layer_rules())
    good, bad, extra = [0, 1, 2, 3], [4, 5, 6, 7], {"load": 0.5, "R": 2.0}
    return fired(lambda: ours.evaluate_state("nominal", LAYERS, good, bad, extra),
                 lambda: ref.evaluate_state("nominal", LAYERS, good, bad, extra))


@case("PyRuleEngine.advance_clock", size="-", reference="plain-Python class", target="<= 5 us per call")
def _():
    ours, ref = qk.PyRuleEngine(metric_rules()), RefRuleEngine(metric_rules())
    return (lambda: ours.advance_clock(0.01)), (lambda: ref.advance_clock(0.01))


@case("PyRuleEngine.fire_count+last_fire_time", size="20 rules", reference="plain-Python class",
      target="<= 5 us per call")
def _():
    ours, ref = qk.PyRuleEngine(metric_rules()), RefRuleEngine(metric_rules())
    ours.evaluate("nominal", METRICS), ref.evaluate("nominal", METRICS)
    return (fired(lambda: (ours.fire_count("rule7"), ours.last_fire_time("rule7")),
                  lambda: (ref.fire_count("rule7"), ref.last_fire_time("rule7"))))


@case("PyRuleEngine.fire_counts+last_fire_times", size="20 rules fired", reference="plain-Python class",
      target="<= 5 us per call")
def _():
    rules = [(f"rule{i}", ["nominal"], [("x", ">", 0.0)], "AND", [BOOST], 0.0, 0) for i in range(20)]
    ours, ref = qk.PyRuleEngine(rules), RefRuleEngine(rules)
    ours.evaluate("nominal", {"x": 1.0}), ref.evaluate("nominal", {"x": 1.0})
    return (lambda: (ours.fire_counts, ours.last_fire_times)), (lambda: (dict(ref.fire_counts),
                                                                          dict(ref.last_fire_times)))


@case("PyRuleEngine.rule_names+clock", size="20 rules", reference="plain-Python class", target="<= 5 us per call")
def _():
    ours, ref = qk.PyRuleEngine(metric_rules()), RefRuleEngine(metric_rules())
    return (lambda: (ours.rule_names, ours.clock)), (lambda: ([r[0] for r in ref.rules], ref.clock))


@case("PyRuleEngine.reset", size="20 rules", reference="plain-Python class", target="<= 5 us per call")
def _():
    ours, ref = qk.PyRuleEngine(metric_rules()), RefRuleEngine(metric_rules())
    return (lambda: ours.reset()), (lambda: ref.reset())


@case("PyRuleEngine(rules)", size="20 rules", reference="plain-Python class", target="construction, no target")
def _():
    rules = metric_rules()
    return (lambda: qk.PyRuleEngine(rules)), (lambda: RefRuleEngine(rules))
