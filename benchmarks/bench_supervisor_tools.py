"""Supervisor tools: Petri net, boundary observer, coherence monitor, action
projector and active inference agent.

These run in a control loop beside the integrators, so what matters is the
cost of one call at typical sizes. No library does the same work, so the
reference is the same logic written as a small plain-Python class.
"""

import math

import numpy as np

import qor_kernel as qk
from harness import case

rng = np.random.default_rng(4242)
TWO_PI = 6.283185307179586
TARGET = "<= 5 us per call"


# ---- plain-Python references ------------------------------------------------

class RefPetriNet:
    OPS = {">": float.__gt__, ">=": float.__ge__, "<": float.__lt__, "<=": float.__le__,
           "==": lambda v, t: abs(v - t) < 1e-12}

    def __init__(self, places, transitions):
        self.places = list(places)
        self.transitions = []
        for name, inputs, outputs, guard in transitions:
            if guard is not None:
                metric, op, threshold = guard.split()
                guard = (metric, self.OPS[op], float(threshold))
            self.transitions.append((name, inputs, outputs, guard))

    def _enabled(self, t, tokens, ctx):
        _, inputs, _, guard = t
        if guard is not None:
            v = ctx.get(guard[0])
            if v is None or not math.isfinite(v) or not guard[1](float(v), guard[2]):
                return False
        return all(tokens.get(p, 0) >= w for p, w in inputs)

    def enabled(self, tokens, ctx):
        return [t[0] for t in self.transitions if self._enabled(t, tokens, ctx)]

    def step(self, tokens, ctx):
        counts = {k: v for k, v in tokens.items() if v}
        fired = None
        for t in self.transitions:
            if self._enabled(t, counts, ctx):
                for p, w in t[1]:
                    counts[p] = max(counts.get(p, 0) - w, 0)
                for p, w in t[2]:
                    counts[p] = min(counts.get(p, 0) + w, 2**32 - 1)
                fired = t[0]
                break
        return {p: counts[p] for p in self.places if counts.get(p, 0)}, fired

    def active_places(self, tokens):
        return [k for k, v in tokens.items() if v]


class RefBoundaryObserver:
    def observe(self, defs, values):
        out = {"violations": [], "soft_violations": [], "hard_violations": []}
        for name, var, lo, hi, sev in defs:
            if not name.strip() or not var.strip():
                continue
            if (lo is not None and not math.isfinite(lo)) or (hi is not None and not math.isfinite(hi)):
                continue
            if lo is not None and hi is not None and hi < lo:
                continue
            v = values.get(var)
            if v is None:
                continue
            if not math.isfinite(v):
                msg = f"{name}: {var} is non-finite and treated as hard violation"
                out["violations"].append(msg)
                out["hard_violations"].append(msg)
            elif (lo is not None and v < lo) or (hi is not None and v > hi):
                msg = (f"{name}: {var}={v:.4f} outside [{'None' if lo is None else f'Some({lo!r})'}, "
                       f"{'None' if hi is None else f'Some({hi!r})'}]")
                out["violations"].append(msg)
                out["hard_violations" if sev == "hard" else "soft_violations"].append(msg)
        return out


class RefCoherenceMonitor:
    def __init__(self, good, bad):
        self.good = list(dict.fromkeys(good))
        g = set(self.good)
        self.bad = [i for i in dict.fromkeys(bad) if i not in g]

    @staticmethod
    def _mean(rs, idx):
        vals = [rs[i] for i in idx if i < len(rs)]
        return sum(vals) / len(vals) if vals else 0.0

    def compute_r_good(self, rs):
        return self._mean(rs, self.good)

    def detect_phase_lock(self, rs, psi, plv, threshold):
        n = len(rs)
        if not math.isfinite(threshold) or len(plv) != n * n:
            return []
        return [(i, j) for i in range(n) for j in range(i + 1, n) if plv[i * n + j] >= threshold]


class RefActionProjector:
    def __init__(self, rate_limits, value_bounds):
        self.rate, self.bounds = dict(rate_limits), dict(value_bounds)

    def project(self, knob, value, previous):
        if knob not in ("K", "alpha", "zeta", "Psi"):
            raise ValueError("unknown knob: " + knob)
        lo, hi = self.bounds.get(knob, (-math.inf, math.inf))
        if not (math.isfinite(value) and math.isfinite(previous)):
            return 0.0
        target = min(hi, max(lo, value))
        h = self.rate.get(knob)
        if h is None:
            return target
        d = target - previous
        if abs(d) <= h:
            return target
        return min(hi, max(lo, previous + math.copysign(h, d)))


class RefAgent:
    def __init__(self, target_r=0.5, lr=1.0):
        self.target_r, self.lr = target_r, lr

    def control(self, phases=None, r_obs=None, psi_obs=None, dt=0.0):
        if phases is not None:
            if len(phases) == 0 or not np.isfinite(phases).all():
                return 0.0, 0.0
            c, s = np.cos(phases).mean(), np.sin(phases).mean()
            r = min(math.sqrt(c * c + s * s), 1.0)
            psi = math.atan2(s, c) % TWO_PI
            e = self.target_r - r
            return min(max(10 * e, 0.0), 5.0), (psi if e <= 0 else (psi + math.pi) % TWO_PI)
        r = self.target_r if r_obs is None else r_obs
        p = 0.0 if psi_obs is None else psi_obs
        d = r - self.target_r
        return min(max(10 * self.lr * abs(d), 0.0), 5.0), ((p + math.pi) % TWO_PI if d > 0 else p)


# ---- fixtures -----------------------------------------------------------------

PLACES = [f"place_{i}" for i in range(10)]
TRANSITIONS = [
    (f"t{i}", [(PLACES[i], 1)], [(PLACES[(i + 1) % 10], 1)], f"m{i % 3} > {0.1 * i:.1f}" if i % 2 else None)
    for i in range(10)
]
TOKENS = {PLACES[i]: 1 for i in range(0, 10, 3)} | {"stray": 2}
CTX = {"m0": 0.5, "m1": 0.2, "m2": 0.9, "other": 1.0}

DEFS = [
    (f"b{i}", f"v{i}", (None if i % 4 == 0 else -1.0), (None if i % 4 == 1 else 1.0), "hard" if i % 3 == 0 else "soft")
    for i in range(20)
]
VALUES = {f"v{i}": float(x) for i, x in enumerate(rng.uniform(-1.3, 1.3, 20))}
assert RefBoundaryObserver().observe(DEFS, VALUES) == qk.PyBoundaryObserver().observe(DEFS, VALUES)


@case("PyPetriNet.step", size="10 places", reference="plain-Python class", target=TARGET)
def _():
    ours, ref = qk.PyPetriNet(PLACES, TRANSITIONS), RefPetriNet(PLACES, TRANSITIONS)
    assert ours.step(TOKENS, CTX) == ref.step(TOKENS, CTX)
    return (lambda: ours.step(TOKENS, CTX)), (lambda: ref.step(TOKENS, CTX))


@case("PyPetriNet.enabled", size="10 places", reference="plain-Python class", target=TARGET)
def _():
    ours, ref = qk.PyPetriNet(PLACES, TRANSITIONS), RefPetriNet(PLACES, TRANSITIONS)
    assert ours.enabled(TOKENS, CTX) == ref.enabled(TOKENS, CTX)
    return (lambda: ours.enabled(TOKENS, CTX)), (lambda: ref.enabled(TOKENS, CTX))


@case("PyPetriNet.active_places", size="10 places", reference="plain-Python class", target=TARGET)
def _():
    ours, ref = qk.PyPetriNet(PLACES, TRANSITIONS), RefPetriNet(PLACES, TRANSITIONS)
    return (lambda: ours.active_places(TOKENS)), (lambda: ref.active_places(TOKENS))


@case("PyPetriNet.place_names", size="10 places", reference="list(...)", target=TARGET)
def _():
    ours, ref = qk.PyPetriNet(PLACES, TRANSITIONS), RefPetriNet(PLACES, TRANSITIONS)
    return (lambda: ours.place_names), (lambda: list(ref.places))


@case("PyPetriNet()", size="10 places", reference="plain-Python class", target="construction, no target")
def _():
    return (lambda: qk.PyPetriNet(PLACES, TRANSITIONS)), (lambda: RefPetriNet(PLACES, TRANSITIONS))


@case("PyBoundaryObserver.observe", size="20 definitions", reference="plain-Python class", target=TARGET)
def _():
    ours, ref = qk.PyBoundaryObserver(), RefBoundaryObserver()
    return (lambda: ours.observe(DEFS, VALUES)), (lambda: ref.observe(DEFS, VALUES))


@case("PyCoherenceMonitor.compute_r_good", size="16 layers", reference="plain-Python class", target=TARGET)
def _():
    good, bad = [0, 2, 4, 6, 8, 10, 12, 14, 2], [1, 3, 5]
    ours, ref = qk.PyCoherenceMonitor(good, bad), RefCoherenceMonitor(good, bad)
    rs = [float(x) for x in rng.uniform(0, 1, 16)]
    return (lambda: ours.compute_r_good(rs)), (lambda: ref.compute_r_good(rs))


@case("PyCoherenceMonitor.detect_phase_lock", size="8 layers", reference="plain-Python class", target=TARGET)
def _():
    ours, ref = qk.PyCoherenceMonitor([0], [1]), RefCoherenceMonitor([0], [1])
    rs = [float(x) for x in rng.uniform(0, 1, 8)]
    psi = [float(x) for x in rng.uniform(0, TWO_PI, 8)]
    plv = [float(x) for x in rng.uniform(0, 1, 64)]
    assert ours.detect_phase_lock(rs, psi, plv, 0.7) == ref.detect_phase_lock(rs, psi, plv, 0.7)
    return (lambda: ours.detect_phase_lock(rs, psi, plv, 0.7)), (lambda: ref.detect_phase_lock(rs, psi, plv, 0.7))


@case("PyActionProjector.project", size="4 knobs", reference="plain-Python class", target=TARGET)
def _():
    limits, bounds = {"K": 0.1, "zeta": 0.5}, {"K": (0.0, 2.0), "alpha": (-1.0, 1.0)}
    ours, ref = qk.PyActionProjector(limits, bounds), RefActionProjector(limits, bounds)
    return (lambda: ours.project("K", 1.5, 1.0)), (lambda: ref.project("K", 1.5, 1.0))


@case("PyActiveInferenceAgent.control", size="N=64 phases", reference="plain-Python class (NumPy)",
      target=TARGET)
def _():
    ours, ref = qk.PyActiveInferenceAgent(), RefAgent()
    x = rng.uniform(0, TWO_PI, 64)
    return (lambda: ours.control(x)), (lambda: ref.control(x))


@case("PyActiveInferenceAgent.control/summary", size="r_obs, psi_obs", reference="plain-Python class",
      target=TARGET)
def _():
    ours, ref = qk.PyActiveInferenceAgent(), RefAgent()
    return (lambda: ours.control(r_obs=0.9, psi_obs=1.0)), (lambda: ref.control(r_obs=0.9, psi_obs=1.0))


@case("PyActiveInferenceAgent.target_r", size="get + set", reference="plain-Python class", target=TARGET)
def _():
    ours, ref = qk.PyActiveInferenceAgent(), RefAgent()

    def ours_fn():
        ours.target_r = ours.target_r

    def ref_fn():
        ref.target_r = ref.target_r

    return ours_fn, ref_fn
