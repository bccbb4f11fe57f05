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
    # spectral graph tools
    "fiedler_value_fast",
    "fiedler_vector_fast",
    "spectral_gap_fast",
    # supervisor tools
    "PyPetriNet",
    "PyBoundaryObserver",
    "PyCoherenceMonitor",
    "PyActionProjector",
    "PyActiveInferenceAgent",
    # dense UPDE stepper
    "PyUPDEStepper",
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

# ---- spectral graph tools ----------------------------------------------------

def fiedler_value_fast(knm: _F64, n: int) -> float: ...
def fiedler_vector_fast(knm: _F64, n: int) -> _F64: ...
def spectral_gap_fast(knm: _F64, n: int) -> float: ...
# ---- supervisor tools --------------------------------------------------------

_Arc: TypeAlias = tuple[str, int]
_TransitionSpec: TypeAlias = tuple[str, Sequence[_Arc], Sequence[_Arc], str | None]
_BoundaryDef: TypeAlias = tuple[str, str, float | None, float | None, str]

@final
class PyPetriNet:
    def __new__(cls, places: Sequence[str], transitions: Sequence[_TransitionSpec]) -> PyPetriNet: ...
    def step(self, tokens: dict[str, int], ctx: dict[str, float]) -> tuple[dict[str, int], str | None]: ...
    def enabled(self, tokens: dict[str, int], ctx: dict[str, float]) -> list[str]: ...
    def active_places(self, tokens: dict[str, int]) -> list[str]: ...
    @property
    def place_names(self) -> list[str]: ...
    @property
    def transition_names(self) -> list[str]: ...

@final
class PyBoundaryObserver:
    def __new__(cls) -> PyBoundaryObserver: ...
    def observe(self, defs: Sequence[_BoundaryDef], values: dict[str, float]) -> dict[str, list[str]]: ...

@final
class PyCoherenceMonitor:
    def __new__(cls, good_layers: Sequence[int], bad_layers: Sequence[int]) -> PyCoherenceMonitor: ...
    def compute_r_good(self, layer_rs: Sequence[float]) -> float: ...
    def compute_r_bad(self, layer_rs: Sequence[float]) -> float: ...
    def detect_phase_lock(
        self,
        layer_rs: Sequence[float],
        psi_values: Sequence[float],
        cross_layer_alignment: Sequence[float],
        threshold: float,
    ) -> list[tuple[int, int]]: ...

@final
class PyActionProjector:
    def __new__(cls, rate_limits: dict[str, float], value_bounds: dict[str, tuple[float, float]]) -> PyActionProjector: ...
    def project(self, knob: str, value: float, previous_value: float) -> float: ...

@final
class PyActiveInferenceAgent:
    def __new__(cls, n_hidden: int = 4, target_r: float = 0.5, lr: float = 1.0) -> PyActiveInferenceAgent: ...
    def control(
        self,
        phases: _F64 | None = None,
        r_obs: float | None = None,
        psi_obs: float | None = None,
        dt: float = 0.0,
    ) -> tuple[float, float]: ...
    @property
    def target_r(self) -> float: ...
    @target_r.setter
    def target_r(self, value: float) -> None: ...
# ---- dense UPDE stepper ------------------------------------------------------

@final
class PyUPDEStepper:
    def __new__(
        cls,
        n: int,
        dt: float = 0.01,
        method: str = "euler",
        n_substeps: int = 1,
        atol: float = 1e-06,
        rtol: float = 0.001,
    ) -> PyUPDEStepper: ...
    @property
    def n(self) -> int: ...
    @property
    def last_dt(self) -> float: ...
    def step(self, phases: _F64, omegas: _F64, knm: _F64, zeta: float, psi: float, alpha: _F64) -> _F64: ...
    def run(
        self, phases: _F64, omegas: _F64, knm: _F64, zeta: float, psi: float, alpha: _F64, n_steps: int
    ) -> _F64: ...
    def run_omega_schedule(
        self, phases: _F64, omega_schedule: _F64, knm: _F64, zeta: float, psi: float, alpha: _F64, n_steps: int
    ) -> _F64: ...
    def run_doppler_schedule(
        self,
        phases: _F64,
        omega_schedule: _F64,
        knm: _F64,
        zeta: float,
        psi: float,
        alpha: _F64,
        velocity_schedule: _F64,
        doppler_strength: float,
        doppler_epsilon: float,
        n_steps: int,
    ) -> _F64: ...
    def run_moving_frame_schedule(
        self,
        phases: _F64,
        positions: _F64,
        omega_schedule: _F64,
        knm: _F64,
        zeta: float,
        psi: float,
        alpha: _F64,
        velocity_schedule: _F64,
        spatial_k_base: float,
        spatial_decay_form: int,
        spatial_decay_exponent: float,
        spatial_decay_length_scale: float,
        spatial_epsilon: float,
        doppler_strength: float,
        doppler_epsilon: float,
        n_steps: int,
    ) -> _F64: ...
    def set_plasticity(self, lr: float, decay: float = 0.0, modulator: float = 1.0) -> None: ...
    def disable_plasticity(self) -> None: ...
    def order_parameter(self) -> tuple[float, float]: ...
