# Type stubs of the qor_kernel extension module, written by hand and checked
# against the module by `python -m mypy.stubtest qor_kernel` in the tests.
from typing import TypeAlias, final

import numpy
import numpy.typing

_F64: TypeAlias = numpy.typing.NDArray[numpy.float64]

__all__ = [
    # synchrony measures
    "order_parameter",
    "plv",
    "phase_distance_matrix",
    # dense UPDE stepper
    "PyUPDEStepper",
]

# ---- synchrony measures ------------------------------------------------------

def order_parameter(phases: _F64) -> tuple[float, float]: ...
def plv(phases_a: _F64, phases_b: _F64) -> float: ...
def phase_distance_matrix(phases: _F64) -> _F64: ...

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
