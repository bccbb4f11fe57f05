// The supervisor vocabulary at the Python boundary, shared by every
// supervisor binding: regime and knob texts, the snapshot and boundary state
// built from call arguments, and the dict form of a control action.
//
// Casters for Regime and Knob let a binding take or return them directly: an
// argument is a str matched exactly ("unknown regime: {text}" /
// "unknown knob: {text}" as ValueError otherwise), a result becomes its text.
// A ControlAction result becomes its dict.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/frame.hpp"
#include "qor/types/action.hpp"
#include "qor/types/state.hpp"

namespace qor::bindings {

// Exact, case-sensitive match; ValueError "unknown regime: {text}" with the
// text as given (unquoted) otherwise.
Regime str_to_regime(std::string_view text);
// Exact, case-sensitive match; ValueError "unknown knob: {text}" otherwise.
Knob str_to_knob(std::string_view text);

std::string regime_to_str(Regime r);
std::string knob_to_str(Knob k);

// New references to shared, interned str objects of the texts (results are
// returned without creating a string each time).
PyObject* regime_to_py(Regime r);
PyObject* knob_to_py(Knob k);

// Boundary state from hard-violation texts alone: violations = a copy of
// `hard`, no soft violations, hard_violations = `hard`.
BoundaryState make_boundary_state(std::vector<std::string> hard);

// Snapshot from the layer order parameters of a call; psi values and the
// cross-layer alignment only for the methods that receive them (an empty
// span means psi 0.0 everywhere and no alignment).
UPDEState make_upde_state(std::span<const double> layer_rs, std::span<const double> psi_values = {},
                          std::span<const double> cross_layer_alignment = {});

// New dict {"knob", "scope", "value", "ttl_s", "justification"}, keys in
// that order.
py::Ref control_action_to_dict(const ControlAction& action);

}  // namespace qor::bindings

namespace qor::py {

template <>
struct Caster<Regime> {
    static Regime load(PyObject* o, const Where& w) { return bindings::str_to_regime(Caster<std::string>::load(o, w)); }
    static PyObject* cast(Regime r) { return bindings::regime_to_py(r); }
};

template <>
struct Caster<Knob> {
    static Knob load(PyObject* o, const Where& w) { return bindings::str_to_knob(Caster<std::string>::load(o, w)); }
    static PyObject* cast(Knob k) { return bindings::knob_to_py(k); }
};

template <>
struct Caster<ControlAction> {
    static PyObject* cast(const ControlAction& a) { return bindings::control_action_to_dict(a).release(); }
};

}  // namespace qor::py
