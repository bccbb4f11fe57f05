// One registration function per subsystem, each defined in its bind_*.cpp
// and called in this order by module.cpp.
#pragma once

#include "frame/module.hpp"

namespace qor::bindings {

void register_sync(py::Module& m);  // order parameter, PLV, phase distances
void register_spectral(py::Module& m);  // Fiedler value and vector, spectral gap

}  // namespace qor::bindings
