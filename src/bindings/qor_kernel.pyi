# Type stubs of the qor_kernel extension module, written by hand and checked
# against the module by `python -m mypy.stubtest qor_kernel` in the tests.
from typing import TypeAlias

import numpy
import numpy.typing

_F64: TypeAlias = numpy.typing.NDArray[numpy.float64]

__all__ = [
    # synchrony measures
    "order_parameter",
    "plv",
    "phase_distance_matrix",
    # spectral graph tools
    "fiedler_value_fast",
    "fiedler_vector_fast",
    "spectral_gap_fast",
]

# ---- synchrony measures ------------------------------------------------------

def order_parameter(phases: _F64) -> tuple[float, float]: ...
def plv(phases_a: _F64, phases_b: _F64) -> float: ...
def phase_distance_matrix(phases: _F64) -> _F64: ...

# ---- spectral graph tools ----------------------------------------------------

def fiedler_value_fast(knm: _F64, n: int) -> float: ...
def fiedler_vector_fast(knm: _F64, n: int) -> _F64: ...
def spectral_gap_fast(knm: _F64, n: int) -> float: ...
