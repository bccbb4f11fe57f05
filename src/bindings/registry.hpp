// One registration function per subsystem, each defined in its bind_*.cpp
// and called in this order by module.cpp.
#pragma once

#include "frame/module.hpp"

namespace qor::bindings {

void register_sync(py::Module& m);  // order parameter, PLV, phase distances
void register_upde(py::Module& m);  // dense UPDE stepper

}  // namespace qor::bindings
