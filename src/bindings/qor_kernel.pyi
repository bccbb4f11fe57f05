# Type stubs of the qor_kernel extension module, written by hand and checked
# against the module by `python -m mypy.stubtest qor_kernel` in the tests.
from collections.abc import Sequence
from typing import TypeAlias, final

import numpy
import numpy.typing

_F64: TypeAlias = numpy.typing.NDArray[numpy.float64]

__all__ = [
    # supervisor decisions
    "PyRegimeManager",
    "PySupervisorPolicy",
    "PyRuleEngine",
    # synchrony measures
    "order_parameter",
    "plv",
    "phase_distance_matrix",
]

# ---- supervisor decisions ----------------------------------------------------

_Regime: TypeAlias = str
_ActionDict: TypeAlias = dict[str, str | float]
_RuleCondition: TypeAlias = tuple[str, str, float]
_RuleActionTuple: TypeAlias = tuple[str, str, float, float]
_Rule: TypeAlias = tuple[str, Sequence[str], Sequence[_RuleCondition], str, Sequence[_RuleActionTuple], float, int]
_FiredAction: TypeAlias = tuple[str, str, float, float, str]

@final
class PyRegimeManager:
    def __new__(cls, hysteresis: float = 0.05, cooldown_steps: int = 10, hysteresis_hold_steps: int = 0) -> PyRegimeManager: ...
    def evaluate(self, layer_rs: Sequence[float], hard_violations: Sequence[str]) -> _Regime: ...
    def transition(self, proposed: _Regime) -> _Regime: ...
    def force_transition(self, regime: _Regime) -> _Regime: ...
    @property
    def current(self) -> _Regime: ...
    @property
    def transition_log(self) -> list[tuple[int, _Regime, _Regime]]: ...

@final
class PySupervisorPolicy:
    def __new__(cls, hysteresis: float = 0.05, cooldown_steps: int = 10) -> PySupervisorPolicy: ...
    def decide(self, layer_rs: Sequence[float], hard_violations: Sequence[str]) -> list[_ActionDict]: ...

@final
class PyRuleEngine:
    def __new__(cls, rules: Sequence[_Rule]) -> PyRuleEngine: ...
    def evaluate(self, regime: str, ctx: dict[str, float]) -> list[_FiredAction]: ...
    def evaluate_state(
        self,
        regime: str,
        layer_rs: Sequence[float],
        good_layers: Sequence[int],
        bad_layers: Sequence[int],
        extra: dict[str, float] | None = None,
    ) -> list[_FiredAction]: ...
    def advance_clock(self, dt: float) -> None: ...
    def reset(self) -> None: ...
    def fire_count(self, rule_name: str) -> int: ...
    def last_fire_time(self, rule_name: str) -> float | None: ...
    @property
    def clock(self) -> float: ...
    @property
    def rule_names(self) -> list[str]: ...
    @property
    def fire_counts(self) -> dict[str, int]: ...
    @property
    def last_fire_times(self) -> dict[str, float]: ...

# ---- synchrony measures ------------------------------------------------------

def order_parameter(phases: _F64) -> tuple[float, float]: ...
def plv(phases_a: _F64, phases_b: _F64) -> float: ...
def phase_distance_matrix(phases: _F64) -> _F64: ...
