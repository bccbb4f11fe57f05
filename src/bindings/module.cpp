// The extension module: multi-phase initialisation, then one registration
// call per subsystem. Nothing else runs at import.
#define QOR_IMPORT_NUMPY_API
#include "frame/frame.hpp"
#include "registry.hpp"

namespace {

int exec_module(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (qor::py::init_internal_fault_type() < 0) return -1;
    try {
        qor::py::Module m(module);
        qor::bindings::register_sync(m);
        qor::bindings::register_spectral(m);
        qor::bindings::register_supervisor(m);
        qor::bindings::register_supervisor_tools(m);
        qor::bindings::register_upde(m);
        m.finish();
        return 0;
    } catch (...) {
        qor::py::translate_current_exception();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Classes and signatures are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qor_kernel",
    "Modelling, measuring and steering networks of coupled phase oscillators.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_qor_kernel(void) { return PyModuleDef_Init(&module_def); }
