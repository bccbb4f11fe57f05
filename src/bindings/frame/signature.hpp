// Declarative signatures: the parameter names and defaults of one function,
// matched against a call by position and keyword exactly as Python does, and
// rendered as the text signature that inspect.signature reads.
#pragma once

#include <initializer_list>
#include <string>
#include <variant>
#include <vector>

#include "frame/ref.hpp"

namespace qor::py {

struct NoneDefault {};
// Default value None, e.g. arg("extra", none).
inline constexpr NoneDefault none{};

// One parameter as declared: a name, optionally a default, optionally the
// message a non-contiguous array gets instead of the generic one.
struct Arg {
    using Default = std::variant<std::monostate, double, long long, unsigned long long, bool, const char*, NoneDefault>;

    Arg(const char* n) : name(n) {}  // NOLINT: a bare name is a required parameter
    Arg(const char* n, Default d) : name(n), default_value(d) {}
    Arg(const char* n, int d) : name(n), default_value(static_cast<long long>(d)) {}

    // Message for a non-contiguous array in this position, e.g. "phases not contiguous".
    Arg& noncontig(const char* message) {
        noncontiguous_message = message;
        return *this;
    }

    const char* name;
    Default default_value;
    const char* noncontiguous_message = nullptr;
};

inline Arg arg(const char* name) { return Arg(name); }
template <class D>
Arg arg(const char* name, D d) {
    if constexpr (std::is_same_v<D, int>)
        return Arg(name, static_cast<long long>(d));
    else
        return Arg(name, Arg::Default(d));
}

// A parameter ready for calls: interned name and default object.
struct Param {
    std::string name;
    Ref name_object;
    Ref default_object;  // null for a required parameter
    const char* noncontiguous_message = nullptr;
};

class Signature {
public:
    Signature(std::string function_name, std::initializer_list<Arg> args);

    const std::string& name() const noexcept { return name_; }
    std::size_t size() const noexcept { return params_.size(); }
    const Param& param(std::size_t i) const noexcept { return params_[i]; }

    // Matches a vectorcall (args, nargs, kwnames) to the parameters and
    // stores one borrowed object per parameter in out, defaults included.
    // Raises TypeError for missing, surplus, duplicate or unknown arguments.
    void bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
    // The same for a classic (tuple, dict) call, used by constructors.
    void bind(PyObject* args, PyObject* kwargs, PyObject** out) const;

    // "(n, dt=0.01, method='euler')" with `self_marker` ("$self", "$module"
    // or empty) as the first entry.
    std::string text(const char* self_marker) const;

private:
    void bind_keyword(PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) const;
    void fill_defaults(PyObject** out) const;
    std::string name_;
    std::vector<Param> params_;
};

// Docstring in CPython's internal form: "name(sig)\n--\n\ndoc".
std::string make_doc(const std::string& name, const std::string& sig_text, const char* doc);

}  // namespace qor::py
