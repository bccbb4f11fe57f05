#include "supervisor_vocab.hpp"

namespace qor::bindings {
namespace {

// Interned str objects created on first use and kept for the life of the
// process (the module supports one interpreter).
PyObject* interned(PyObject*& slot, std::string_view text) {
    if (!slot) {
        slot = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (!slot) py::throw_current();
        PyUnicode_InternInPlace(&slot);
    }
    return slot;
}

PyObject* regime_texts[4] = {};
PyObject* knob_texts[4] = {};

enum ActionKey { KeyKnob, KeyScope, KeyValue, KeyTtl, KeyJustification, KeyCount };
PyObject* action_keys[KeyCount] = {};
constexpr std::string_view action_key_names[KeyCount] = {"knob", "scope", "value", "ttl_s", "justification"};

void set_item(PyObject* dict, int key, PyObject* value_new_ref) {
    py::Ref value = py::Ref::steal(value_new_ref);
    if (!value) py::throw_current();
    if (PyDict_SetItem(dict, interned(action_keys[key], action_key_names[key]), value.get()) < 0) py::throw_current();
}

PyObject* new_str(const std::string& s) { return py::Caster<std::string>::cast(s); }

}  // namespace

Regime str_to_regime(std::string_view text) {
    if (auto r = regime_from_name(text)) return *r;
    py::value_error("unknown regime: " + std::string(text));
}

Knob str_to_knob(std::string_view text) {
    if (auto k = knob_from_name(text)) return *k;
    py::value_error("unknown knob: " + std::string(text));
}

std::string regime_to_str(Regime r) { return std::string(regime_name(r)); }
std::string knob_to_str(Knob k) { return std::string(knob_name(k)); }

PyObject* regime_to_py(Regime r) {
    const auto i = static_cast<std::size_t>(r);
    return Py_NewRef(interned(regime_texts[i], regime_name(r)));
}

PyObject* knob_to_py(Knob k) {
    const auto i = static_cast<std::size_t>(k);
    return Py_NewRef(interned(knob_texts[i], knob_name(k)));
}

BoundaryState make_boundary_state(std::vector<std::string> hard) {
    BoundaryState b;
    b.violations = hard;
    b.hard_violations = std::move(hard);
    return b;
}

UPDEState make_upde_state(std::span<const double> layer_rs, std::span<const double> psi_values,
                          std::span<const double> cross_layer_alignment) {
    return UPDEState::from_layer_rs(layer_rs, psi_values, cross_layer_alignment);
}

py::Ref control_action_to_dict(const ControlAction& action) {
    py::Ref dict = py::Ref::steal(PyDict_New());
    if (!dict) py::throw_current();
    set_item(dict.get(), KeyKnob, knob_to_py(action.knob));
    set_item(dict.get(), KeyScope, new_str(action.scope));
    set_item(dict.get(), KeyValue, PyFloat_FromDouble(action.value));
    set_item(dict.get(), KeyTtl, PyFloat_FromDouble(action.ttl_s));
    set_item(dict.get(), KeyJustification, new_str(action.justification));
    return dict;
}

}  // namespace qor::bindings
