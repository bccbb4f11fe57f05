// One registration function per subsystem, each defined in its bind_*.cpp
// and called in this order by module.cpp.
#pragma once

#include "frame/module.hpp"

namespace qor::bindings {

void register_sync(py::Module& m);  // order parameter, PLV, phase distances
void register_spectral(py::Module& m);  // Fiedler value and vector, spectral gap
void register_supervisor(py::Module& m);  // regime manager, supervisor policy, rule engine
void register_supervisor_tools(py::Module& m);  // Petri net, boundaries, coherence, projector, agent
void register_upde(py::Module& m);  // dense UPDE stepper

}  // namespace qor::bindings
