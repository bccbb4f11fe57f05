# Type stubs of the qor_kernel extension module, written by hand and checked
# against the module by `python -m mypy.stubtest qor_kernel` in the tests.
from collections.abc import Sequence
from typing import TypeAlias, final

import numpy
import numpy.typing

_F64: TypeAlias = numpy.typing.NDArray[numpy.float64]

__all__ = [
    # synchrony measures
    "order_parameter",
    "plv",
    "phase_distance_matrix",
    # supervisor tools
    "PyPetriNet",
    "PyBoundaryObserver",
    "PyCoherenceMonitor",
    "PyActionProjector",
    "PyActiveInferenceAgent",
]

# ---- synchrony measures ------------------------------------------------------

def order_parameter(phases: _F64) -> tuple[float, float]: ...
def plv(phases_a: _F64, phases_b: _F64) -> float: ...
def phase_distance_matrix(phases: _F64) -> _F64: ...

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
