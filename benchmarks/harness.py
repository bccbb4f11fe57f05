"""Benchmark entries and their timing.

An entry module ``bench_<subsystem>.py`` registers cases with ``@case``: a
function that prepares its inputs and returns ``(ours, reference)``, two
zero-argument callables doing the same work, ours through qor_kernel and the
reference the way a user would otherwise write it.

    @case("order_parameter", size="N=16", reference="np.exp(1j*x).mean()",
          target="<= 1 us per call, >= 5x")
    def _():
        x = rng.uniform(0, 2 * np.pi, 16)
        return (lambda: qk.order_parameter(x)), (lambda: ref(x))

``per`` divides both times (for example the number of steps of a run), so
the table shows time per step. The two callables are timed interleaved in
the same process, and the medians of the repeats are reported.
"""

from __future__ import annotations

import dataclasses
import statistics
import time
from typing import Callable

Timed = Callable[[], object]


@dataclasses.dataclass
class Case:
    name: str
    size: str
    setup: Callable[[], tuple[Timed, Timed]]
    reference: str
    target: str = ""
    per: float = 1.0
    unit: str = "call"


CASES: list[Case] = []


def case(name: str, *, size: str, reference: str, target: str = "", per: float = 1.0, unit: str = "call"):
    def register(setup: Callable[[], tuple[Timed, Timed]]):
        CASES.append(Case(name, size, setup, reference, target, per, unit))
        return setup

    return register


def _loops_for(fn: Timed, budget: float) -> int:
    """Number of calls that take about `budget` seconds."""
    loops = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed >= budget / 4 or loops >= 1 << 24:
            return max(1, int(loops * budget / max(elapsed, 1e-9)))
        loops *= 4


def _time(fn: Timed, loops: int) -> float:
    t0 = time.perf_counter()
    for _ in range(loops):
        fn()
    return (time.perf_counter() - t0) / loops


def measure(c: Case, repeats: int = 7, budget: float = 0.05, settle: float = 0.2) -> tuple[float, float]:
    """Medians of `repeats` interleaved batches of about `budget` seconds each.

    Before every batch the process idles for `settle` seconds: thread pools
    (OpenMP's, OpenBLAS's) keep their workers spinning for a while after
    each parallel call, and on a machine with few cores those spinning
    workers would slow down whichever side is timed next.
    """
    ours, ref = c.setup()
    ours()
    ref()
    n_ours, n_ref = _loops_for(ours, budget), _loops_for(ref, budget)
    t_ours, t_ref = [], []
    for _ in range(repeats):
        time.sleep(settle)
        t_ours.append(_time(ours, n_ours))
        time.sleep(settle)
        t_ref.append(_time(ref, n_ref))
    return statistics.median(t_ours) / c.per, statistics.median(t_ref) / c.per


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            return f"{seconds / scale:8.3f} {unit}"
    return f"{seconds:g} s"
