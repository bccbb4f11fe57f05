// Registration of module functions: one line per function,
//     m.def<&order_parameter>("order_parameter", {"phases"}, "doc");
// names and defaults in the braces, the docstring last. The text signature
// "order_parameter($module, phases)" is generated from the braces.
#pragma once

#include <initializer_list>
#include <string>

#include "frame/function.hpp"
#include "frame/signature.hpp"

namespace qor::py {

// Storage that lives as long as the process (method tables, docstrings and
// signatures are referenced by the objects CPython creates from them).
const char* keep_string(std::string s);

template <class T>
class ClassBuilder;

class Module {
public:
    explicit Module(PyObject* module);

    template <auto F>
    void def(const char* name, std::initializer_list<Arg> args, const char* doc = nullptr) {
        auto* sig = new Signature(name, args);
        FunctionEntry<F>::signature = sig;
        add_function(name, &FunctionEntry<F>::call, sig->text("$module"), doc);
    }

    template <class T>
    ClassBuilder<T> cls(const char* name, const char* doc = nullptr);

    // Adds a module attribute and lists its name in __all__.
    void publish(const char* name, PyObject* object);
    // Sets __all__; called once after every registration.
    void finish();

    PyObject* get() const noexcept { return module_; }

private:
    using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    void add_function(const char* name, FastFunction f, const std::string& sig_text, const char* doc);

    PyObject* module_;
    Ref all_;
};

}  // namespace qor::py
