// The supervisor's tools: Petri net, boundary observer, coherence monitor,
// action projector and active inference agent.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "frame/frame.hpp"
#include "qor/supervisor/active_inference.hpp"
#include "qor/supervisor/boundaries.hpp"
#include "qor/supervisor/coherence.hpp"
#include "qor/supervisor/petri_net.hpp"
#include "qor/supervisor/projector.hpp"
#include "qor/types/format.hpp"
#include "registry.hpp"
#include "supervisor_vocab.hpp"

// A boundary definition straight from its tuple (name, variable, lower,
// upper, severity), without an intermediate tuple of strings. Severity is
// Hard only for the exact text "hard".
namespace qor::py {

template <>
struct Caster<BoundaryDef> {
    static BoundaryDef load(PyObject* o, const Where& w) {
        if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 5) {
            if (PyTuple_Check(o))
                type_error(w.str() + ": expected a tuple of 5 items, got a tuple of " +
                           std::to_string(PyTuple_GET_SIZE(o)) + " items");
            expected_error(w, "a tuple of 5 items", o);
        }
        BoundaryDef def;
        def.name = Caster<std::string>::load(PyTuple_GET_ITEM(o, 0), w.item(0));
        def.variable = Caster<std::string>::load(PyTuple_GET_ITEM(o, 1), w.item(1));
        def.lower = Caster<std::optional<double>>::load(PyTuple_GET_ITEM(o, 2), w.item(2));
        def.upper = Caster<std::optional<double>>::load(PyTuple_GET_ITEM(o, 3), w.item(3));
        const std::string severity = Caster<std::string>::load(PyTuple_GET_ITEM(o, 4), w.item(4));
        def.severity = severity == "hard" ? Severity::Hard : Severity::Soft;
        return def;
    }
};

// An arc straight from its tuple (place, weight).
template <>
struct Caster<Arc> {
    static Arc load(PyObject* o, const Where& w) {
        auto [place, weight] = Caster<std::tuple<std::string, std::uint32_t>>::load(o, w);
        return Arc{std::move(place), weight};
    }
};

}  // namespace qor::py

namespace qor::bindings {
namespace {

using py::Ref;

Ref new_str(const std::string& s) { return Ref::steal(py::Caster<std::string>::cast(s)); }

// An interned str kept for the life of the process (the module supports one
// interpreter), for dict keys written on every call.
PyObject* interned(PyObject*& slot, const char* text) {
    if (!slot) {
        slot = PyUnicode_InternFromString(text);
        if (!slot) py::throw_current();
    }
    return slot;
}

// ---- Petri net -----------------------------------------------------------

// The net, with its place and transition names as ready str objects: every
// query returns some of them, and reusing them saves creating a str for
// each name of each result.
struct PetriNetObject {
    PetriNet net;
    std::vector<Ref> place_strs;
    std::vector<Ref> transition_strs;
};

using TransitionTuple = std::tuple<std::string, std::vector<Arc>, std::vector<Arc>, std::optional<std::string>>;

PetriNetObject make_petri_net(std::vector<std::string> places, Ref transitions) {
    // Each tuple is converted and its guard parsed before the next one is
    // looked at, so a bad guard is reported before a later malformed tuple.
    std::vector<Transition> converted;
    py::reserve_items(transitions.get(), converted);
    py::for_each_item(transitions.get(), py::Where{"transitions"}, [&](PyObject* item, const py::Where& w) {
        auto [name, inputs, outputs, guard_text] = py::Caster<TransitionTuple>::load(item, w);
        Transition t{std::move(name), std::move(inputs), std::move(outputs), std::nullopt};
        if (guard_text) {
            auto parsed = parse_guard(*guard_text);
            if (auto* error = std::get_if<std::string>(&parsed)) py::value_error(*error);
            t.guard = std::move(std::get<Guard>(parsed));
        }
        converted.push_back(std::move(t));
    });
    auto created = PetriNet::create(std::move(places), std::move(converted));
    if (auto* error = std::get_if<std::string>(&created)) py::value_error(*error);
    PetriNetObject obj{std::move(std::get<PetriNet>(created)), {}, {}};
    obj.place_strs.reserve(obj.net.places().size());
    for (const std::string& p : obj.net.places()) obj.place_strs.push_back(new_str(p));
    obj.transition_strs.reserve(obj.net.transitions().size());
    for (const Transition& t : obj.net.transitions()) obj.transition_strs.push_back(new_str(t.name));
    return obj;
}

Marking to_marking(py::Dict<std::string, std::uint32_t>&& tokens) {
    Marking m;
    m.reserve(tokens.entries.size());
    // Dict keys are distinct.
    for (auto& [place, count] : tokens.entries) m.add_distinct(std::move(place), count);
    return m;
}

Ref name_list(const std::vector<Ref>& strs, const std::vector<std::size_t>& indices) {
    Ref out = Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(indices.size()))));
    for (std::size_t k = 0; k < indices.size(); ++k)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), Py_NewRef(strs[indices[k]].get()));
    return out;
}

Ref petri_enabled(const PetriNetObject& self, py::Dict<std::string, std::uint32_t> tokens,
                  py::Dict<std::string, double> ctx) {
    const Marking marking = to_marking(std::move(tokens));
    return name_list(self.transition_strs, self.net.enabled(marking, ctx.entries));
}

std::tuple<Ref, Ref> petri_step(const PetriNetObject& self, py::Dict<std::string, std::uint32_t> tokens,
                                py::Dict<std::string, double> ctx) {
    const Marking marking = to_marking(std::move(tokens));
    const PetriNet::StepResult result = self.net.step(marking, ctx.entries);
    // The new marking lists the places in place order; names that are not
    // places are not returned.
    Ref dict = Ref::steal(py::check(PyDict_New()));
    for (std::size_t i = 0; i < result.counts.size(); ++i) {
        if (result.counts[i] == 0) continue;
        Ref count = Ref::steal(py::check(PyLong_FromUnsignedLong(result.counts[i])));
        if (PyDict_SetItem(dict.get(), self.place_strs[i].get(), count.get()) < 0) py::throw_current();
    }
    Ref fired = result.fired ? self.transition_strs[*result.fired] : Ref::borrow(Py_None);
    return {std::move(dict), std::move(fired)};
}

Ref petri_active_places(const PetriNetObject&, py::Dict<std::string, std::uint32_t> tokens) {
    const Marking marking = to_marking(std::move(tokens));
    const std::vector<std::string_view> names = PetriNet::active_places(marking);
    Ref out = Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(names.size()))));
    for (std::size_t k = 0; k < names.size(); ++k) {
        PyObject* name = py::check(PyUnicode_DecodeUTF8(names[k].data(), static_cast<Py_ssize_t>(names[k].size()), "replace"));
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), name);
    }
    return out;
}

Ref all_names(const std::vector<Ref>& strs) {
    Ref out = Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(strs.size()))));
    for (std::size_t k = 0; k < strs.size(); ++k)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), Py_NewRef(strs[k].get()));
    return out;
}

Ref petri_place_names(const PetriNetObject& self) { return all_names(self.place_strs); }
Ref petri_transition_names(const PetriNetObject& self) { return all_names(self.transition_strs); }

// ---- boundary observer ---------------------------------------------------

BoundaryObserver make_boundary_observer() { return BoundaryObserver{}; }

PyObject* violation_keys[3] = {};

Ref boundary_observe(const BoundaryObserver& self, std::vector<BoundaryDef> defs, py::Dict<std::string, double> values) {
    const BoundaryState state = self.observe(defs, values.entries);
    // Every message is in `violations` and, in the same order, in one of the
    // severity lists: each str is created once and shared by both lists.
    const auto size = [](const std::vector<std::string>& v) { return static_cast<Py_ssize_t>(v.size()); };
    Ref lists[3] = {Ref::steal(py::check(PyList_New(size(state.violations)))),
                    Ref::steal(py::check(PyList_New(size(state.soft_violations)))),
                    Ref::steal(py::check(PyList_New(size(state.hard_violations))))};
    std::size_t soft = 0, hard = 0;
    for (std::size_t k = 0; k < state.violations.size(); ++k) {
        Ref text = new_str(state.violations[k]);
        if (soft < state.soft_violations.size() && state.soft_violations[soft] == state.violations[k])
            PyList_SET_ITEM(lists[1].get(), static_cast<Py_ssize_t>(soft++), Py_NewRef(text.get()));
        else if (hard < state.hard_violations.size())
            PyList_SET_ITEM(lists[2].get(), static_cast<Py_ssize_t>(hard++), Py_NewRef(text.get()));
        PyList_SET_ITEM(lists[0].get(), static_cast<Py_ssize_t>(k), text.release());
    }
    // Only a state not built by the observer could leave a slot unfilled.
    if (soft != state.soft_violations.size() || hard != state.hard_violations.size())
        throw std::logic_error("boundary state lists do not partition the violations");
    Ref dict = Ref::steal(py::check(PyDict_New()));
    const char* names[3] = {"violations", "soft_violations", "hard_violations"};
    for (int k = 0; k < 3; ++k)
        if (PyDict_SetItem(dict.get(), interned(violation_keys[k], names[k]), lists[k].get()) < 0) py::throw_current();
    return dict;
}

// ---- coherence monitor ---------------------------------------------------

CoherenceMonitor make_coherence_monitor(std::vector<std::size_t> good_layers, std::vector<std::size_t> bad_layers) {
    return CoherenceMonitor(good_layers, bad_layers);
}

double coherence_r_good(const CoherenceMonitor& self, std::vector<double> layer_rs) {
    return self.r_good(make_upde_state(layer_rs));
}

double coherence_r_bad(const CoherenceMonitor& self, std::vector<double> layer_rs) {
    return self.r_bad(make_upde_state(layer_rs));
}

py::List<std::tuple<std::size_t, std::size_t>> coherence_phase_lock(const CoherenceMonitor&, std::vector<double> layer_rs,
                                                                     std::vector<double> psi_values,
                                                                     std::vector<double> cross_layer_alignment,
                                                                     double threshold) {
    const UPDEState state = make_upde_state(layer_rs, psi_values, cross_layer_alignment);
    py::List<std::tuple<std::size_t, std::size_t>> out;
    for (const auto& [i, j] : phase_locked_pairs(state, threshold)) out.items.emplace_back(i, j);
    return out;
}

// ---- action projector ----------------------------------------------------

// warnings.warn(message), called with the message as its single argument. A
// failure to issue it (warnings configured as errors, a replaced warn
// function that raises) is discarded: a configuration warning must not stop
// the construction it reports on.
void warn_through_warnings_module(PyObject* warnings, const std::string& message) noexcept {
    Ref warn = Ref::steal(PyObject_GetAttrString(warnings, "warn"));
    Ref text = warn ? Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"))
                    : Ref();
    Ref result = text ? Ref::steal(PyObject_CallOneArg(warn.get(), text.get())) : Ref();
    if (!result) PyErr_Clear();
}

ActionProjector make_action_projector(py::Dict<std::string, double> rate_limits,
                                      py::Dict<std::string, std::tuple<double, double>> value_bounds) {
    // The import itself is not optional: its failure is raised.
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings) py::throw_current();
    ActionProjector projector;
    for (const auto& [key, limit] : rate_limits.entries) {
        const std::optional<Knob> knob = knob_from_name(key);
        if (!knob) {
            warn_through_warnings_module(warnings.get(), "PyActionProjector: ignoring unknown knob " + quoted(key) + " in rate_limits");
            continue;
        }
        projector.set_rate_limit(*knob, limit);  // invalid limits are dropped silently
    }
    for (const auto& [key, bounds] : value_bounds.entries) {
        const std::optional<Knob> knob = knob_from_name(key);
        if (!knob) {
            warn_through_warnings_module(warnings.get(), "PyActionProjector: ignoring unknown knob " + quoted(key) + " in value_bounds");
            continue;
        }
        projector.set_bounds(*knob, std::get<0>(bounds), std::get<1>(bounds));
    }
    return projector;
}

// The knob is taken as text and matched after all arguments are converted,
// so a bad value argument is reported as such even with an unknown knob.
double projector_project(const ActionProjector& self, std::string knob, double value, double previous_value) {
    return self.project(str_to_knob(knob), value, previous_value);
}

// ---- active inference agent ----------------------------------------------

Result<ActiveInferenceAgent> make_agent(std::uint64_t n_hidden, double target_r, double lr) {
    return ActiveInferenceAgent::create(n_hidden, target_r, lr);
}

std::tuple<double, double> agent_control(ActiveInferenceAgent& self, std::optional<py::ArrayCopy<double>> phases,
                                         std::optional<double> r_obs, std::optional<double> psi_obs, double /*dt*/) {
    const auto [strength, phase] = phases ? self.control(phases->values) : self.control_from_summary(r_obs, psi_obs);
    return {strength, phase};
}

double agent_get_target_r(const ActiveInferenceAgent& self) { return self.target_r(); }
void agent_set_target_r(ActiveInferenceAgent& self, double target_r) { self.set_target_r(target_r); }

}  // namespace

void register_supervisor_tools(py::Module& m) {
    using py::arg;

    {
        auto c = m.cls<PetriNetObject>(
            "PyPetriNet",
            "Place/transition net with optional threshold guards ('metric op threshold') on transitions.\n\n"
            "places: place names in order. transitions: tuples (name, input arcs, output arcs, guard), the arcs "
            "lists of (place, weight) and the guard a str or None. The net holds no marking: every query takes "
            "the token counts and the metric context.");
        c.constructor<&make_petri_net>({"places", "transitions"});
        c.method<&petri_step>("step", {"tokens", "ctx"},
                              "Step: fire first enabled transition. Returns (tokens_dict, fired_name_or_none).");
        c.method<&petri_enabled>("enabled", {"tokens", "ctx"}, "Return names of all enabled transitions.");
        c.method<&petri_active_places>("active_places", {"tokens"},
                                       "Return the names in tokens whose count is non-zero, places or not.");
        c.property<&petri_place_names>("place_names", "Place names in order.");
        c.property<&petri_transition_names>("transition_names", "Transition names in order.");
        c.finish();
    }
    {
        auto c = m.cls<BoundaryObserver>("PyBoundaryObserver",
                                         "Checks named variables against declared safe ranges and files every "
                                         "violation as soft or hard.");
        c.constructor<&make_boundary_observer>({});
        c.method<&boundary_observe>(
            "observe", {"defs", "values"},
            "Observe boundary violations. Returns dict with violations, soft_violations, hard_violations.");
        c.finish();
    }
    {
        auto c = m.cls<CoherenceMonitor>(
            "PyCoherenceMonitor",
            "Mean order parameter over a good and a bad set of layer indices, and phase-locked layer pairs. "
            "Repeated indices are dropped; a layer in both lists is good only.");
        c.constructor<&make_coherence_monitor>({"good_layers", "bad_layers"});
        c.method<&coherence_r_good>("compute_r_good", {"layer_rs"},
                                    "Mean R over the good layers present in layer_rs; 0.0 when there is none.");
        c.method<&coherence_r_bad>("compute_r_bad", {"layer_rs"},
                                   "Mean R over the bad layers present in layer_rs; 0.0 when there is none.");
        c.method<&coherence_phase_lock>(
            "detect_phase_lock", {"layer_rs", "psi_values", "cross_layer_alignment", "threshold"},
            "Detect phase-locked layer pairs from cross-layer alignment matrix.\n\n"
            "psi_values: per-layer mean phase (same length as layer_rs).\n"
            "cross_layer_alignment: flattened n x n PLV matrix.\n"
            "Returns the pairs (i, j), i < j, whose entry i*n + j is >= threshold; [] when the threshold is not "
            "finite or the matrix does not hold n*n entries.");
        c.finish();
    }
    {
        auto c = m.cls<ActionProjector>(
            "PyActionProjector",
            "Projects a proposed knob value onto its bounds and its maximum change per application.\n\n"
            "rate_limits: knob text -> maximum absolute change; value_bounds: knob text -> (lower, upper). "
            "Unknown knobs are skipped with a warning, invalid limits and bounds silently.");
        c.constructor<&make_action_projector>({"rate_limits", "value_bounds"});
        c.method<&projector_project>(
            "project", {"knob", "value", "previous_value"},
            "Clamp value into the knob's bounds, limit the step from previous_value, clamp again. "
            "Returns 0.0 (clamped into the bounds, which it never leaves) when value or previous_value "
            "is not finite.");
        c.finish();
    }
    {
        auto c = m.cls<ActiveInferenceAgent>(
            "PyActiveInferenceAgent",
            "Controller for a target order parameter: answers each observation with a drive strength in [0, 5] "
            "and a drive phase.");
        c.constructor<&make_agent>({arg("n_hidden", 4), arg("target_r", 0.5), arg("lr", 1.0)});
        c.method<&agent_control>(
            "control", {arg("phases", py::none), arg("r_obs", py::none), arg("psi_obs", py::none), arg("dt", 0.0)},
            "Returns (strength, phase). With phases: e = target_r - R, strength clamp(10*e, 0, 5), phase psi "
            "at or above target and psi + pi (wrapped) below; (0.0, 0.0) for empty or non-finite phases. "
            "Without phases, from r_obs (default target_r) and psi_obs (default 0.0): d = r_obs - target_r, "
            "strength clamp(10*lr*|d|, 0, 5), phase psi_obs + pi (wrapped) above target, psi_obs as given "
            "otherwise. dt is accepted and not used.");
        c.property<&agent_get_target_r, &agent_set_target_r>("target_r",
                                                             "Desired order parameter; assignment stores any float.");
        c.finish();
    }
}

}  // namespace qor::bindings
