// The supervisor's decision makers: the regime manager, the built-in
// supervisor policy and the rule engine.
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "frame/frame.hpp"
#include "qor/supervisor/policy.hpp"
#include "qor/supervisor/regime.hpp"
#include "qor/supervisor/rule_engine.hpp"
#include "registry.hpp"
#include "supervisor_vocab.hpp"

namespace qor::bindings {
namespace {

// ---- regime manager ----------------------------------------------------------

RegimeManager make_regime_manager(double hysteresis, std::uint64_t cooldown_steps,
                                  std::uint64_t hysteresis_hold_steps) {
    return RegimeManager(hysteresis, cooldown_steps, hysteresis_hold_steps);
}

Regime regime_evaluate(const RegimeManager& m, std::vector<double> layer_rs, std::vector<std::string> hard_violations) {
    return m.evaluate(make_upde_state(layer_rs), make_boundary_state(std::move(hard_violations)));
}

// An unknown regime text fails while the argument is converted, before the
// step counter moves.
Regime regime_transition(RegimeManager& m, Regime proposed) { return m.transition(proposed); }
Regime regime_force_transition(RegimeManager& m, Regime regime) { return m.force_transition(regime); }

Regime regime_current(const RegimeManager& m) { return m.current(); }

py::List<std::tuple<std::uint64_t, Regime, Regime>> regime_transition_log(const RegimeManager& m) {
    py::List<std::tuple<std::uint64_t, Regime, Regime>> out;
    out.items.reserve(m.log_size());
    for (std::size_t i = 0; i < m.log_size(); ++i) {
        const TransitionRecord& r = m.log_entry(i);
        out.items.emplace_back(r.step, r.from, r.to);
    }
    return out;
}

// ---- supervisor policy -------------------------------------------------------

SupervisorPolicy make_policy(double hysteresis, std::uint64_t cooldown_steps) {
    return SupervisorPolicy(hysteresis, cooldown_steps);
}

py::List<ControlAction> policy_decide(SupervisorPolicy& p, std::vector<double> layer_rs,
                                      std::vector<std::string> hard_violations) {
    return {p.decide(make_upde_state(layer_rs), make_boundary_state(std::move(hard_violations)))};
}

// ---- rule engine -------------------------------------------------------------

// The engine with what its results are made of: each rule action's result
// tuple (knob, scope, value, ttl_s, rule_name) is immutable and the same on
// every firing, so it is built once and shared by the result lists.
struct RuleEngineObject {
    RuleEngine engine;
    std::vector<std::vector<py::Ref>> action_tuples;  // [rule][action]
    std::vector<py::Ref> names;                       // str of each distinct rule name
    std::vector<double> metric_values;                // scratch, one per metric name
};

using ConditionTuple = std::tuple<std::string, std::string, double>;
using ActionTuple = std::tuple<std::string, std::string, double, double>;
using RuleTuple = std::tuple<std::string, std::vector<std::string>, std::vector<ConditionTuple>, std::string,
                             std::vector<ActionTuple>, double, std::uint32_t>;

py::Ref new_str(const std::string& s) { return py::Ref::steal(py::Caster<std::string>::cast(s)); }

RuleEngineObject make_rule_engine(std::vector<RuleTuple> rules) {
    // Every rule's texts are parsed before any rule's values are checked.
    std::vector<PolicyRule> parsed;
    parsed.reserve(rules.size());
    for (RuleTuple& t : rules) {
        RuleInput input;
        input.name = std::move(std::get<0>(t));
        input.regimes = std::move(std::get<1>(t));
        for (auto& [metric, op, threshold] : std::get<2>(t))
            input.conditions.push_back(ConditionInput{std::move(metric), std::move(op), threshold});
        input.logic = std::move(std::get<3>(t));
        for (auto& [knob, scope, value, ttl_s] : std::get<4>(t))
            input.actions.push_back(RuleAction{std::move(knob), std::move(scope), value, ttl_s});
        input.cooldown_s = std::get<5>(t);
        input.max_fires = std::get<6>(t);
        auto rule = parse_rule(std::move(input));
        if (auto* message = std::get_if<std::string>(&rule)) py::value_error(*message);
        parsed.push_back(std::move(std::get<PolicyRule>(rule)));
    }
    auto built = RuleEngine::try_new(std::move(parsed));
    if (auto* message = std::get_if<std::string>(&built)) py::value_error(*message);

    RuleEngineObject obj{std::move(std::get<RuleEngine>(built)), {}, {}, {}};
    for (std::size_t s = 0; s < obj.engine.name_count(); ++s) obj.names.push_back(new_str(obj.engine.name(s)));
    const std::vector<PolicyRule>& all = obj.engine.rules();
    obj.action_tuples.resize(all.size());
    for (std::size_t r = 0; r < all.size(); ++r) {
        const py::Ref& name = obj.names[obj.engine.name_slot(r)];
        for (const RuleAction& a : all[r].actions) {
            py::Ref t = py::Ref::steal(py::check(PyTuple_New(5)));
            PyTuple_SET_ITEM(t.get(), 0, new_str(a.knob).release());
            PyTuple_SET_ITEM(t.get(), 1, new_str(a.scope).release());
            PyTuple_SET_ITEM(t.get(), 2, py::Caster<double>::cast(a.value));
            PyTuple_SET_ITEM(t.get(), 3, py::Caster<double>::cast(a.ttl_s));
            PyTuple_SET_ITEM(t.get(), 4, Py_NewRef(name.get()));
            obj.action_tuples[r].push_back(std::move(t));
        }
    }
    obj.metric_values.reserve(obj.engine.metric_names().size());
    return obj;
}

py::Ref fired_list(const RuleEngineObject& obj, const std::vector<FiredAction>& fired) {
    py::Ref out = py::Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(fired.size()))));
    for (std::size_t i = 0; i < fired.size(); ++i)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i),
                        Py_NewRef(obj.action_tuples[fired[i].rule][fired[i].action].get()));
    return out;
}

py::Ref rules_evaluate(RuleEngineObject& obj, std::string regime, py::Dict<std::string, double> ctx) {
    obj.engine.resolve_metrics(ctx.entries, obj.metric_values);
    return fired_list(obj, obj.engine.evaluate(regime, obj.metric_values));
}

py::Ref rules_evaluate_state(RuleEngineObject& obj, std::string regime, std::vector<double> layer_rs,
                             std::vector<std::size_t> good_layers, std::vector<std::size_t> bad_layers,
                             std::optional<py::Dict<std::string, double>> extra) {
    // extra first; the names derived from the layers overwrite it.
    if (extra)
        obj.engine.resolve_metrics(extra->entries, obj.metric_values);
    else
        obj.engine.resolve_metrics({}, obj.metric_values);
    obj.engine.apply_layer_metrics(obj.metric_values, layer_rs, good_layers, bad_layers);
    return fired_list(obj, obj.engine.evaluate(regime, obj.metric_values));
}

void rules_advance_clock(RuleEngineObject& obj, double dt) { obj.engine.advance_clock(dt); }
void rules_reset(RuleEngineObject& obj) { obj.engine.reset(); }

std::uint32_t rules_fire_count(const RuleEngineObject& obj, std::string rule_name) {
    return obj.engine.fire_count(rule_name);
}
std::optional<double> rules_last_fire_time(const RuleEngineObject& obj, std::string rule_name) {
    return obj.engine.last_fire_time(rule_name);
}

double rules_clock(const RuleEngineObject& obj) { return obj.engine.clock(); }

py::Ref rules_rule_names(const RuleEngineObject& obj) {
    const std::size_t n = obj.engine.rules().size();
    py::Ref out = py::Ref::steal(py::check(PyList_New(static_cast<Py_ssize_t>(n))));
    for (std::size_t r = 0; r < n; ++r)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(r), Py_NewRef(obj.names[obj.engine.name_slot(r)].get()));
    return out;
}

// {name: value(slot)} over the names that have fired, in order of first use.
template <class Value>
py::Ref fired_names_dict(const RuleEngineObject& obj, Value&& value) {
    py::Ref out = py::Ref::steal(py::check(PyDict_New()));
    for (std::size_t s = 0; s < obj.engine.name_count(); ++s) {
        if (obj.engine.fire_count_at(s) == 0) continue;
        py::Ref v = py::Ref::steal(value(s));
        if (PyDict_SetItem(out.get(), obj.names[s].get(), v.get()) < 0) py::throw_current();
    }
    return out;
}

py::Ref rules_fire_counts(const RuleEngineObject& obj) {
    return fired_names_dict(obj, [&](std::size_t s) { return py::Caster<std::uint32_t>::cast(obj.engine.fire_count_at(s)); });
}

py::Ref rules_last_fire_times(const RuleEngineObject& obj) {
    return fired_names_dict(obj, [&](std::size_t s) { return py::Caster<double>::cast(obj.engine.last_fire_time_at(s)); });
}

}  // namespace

void register_supervisor(py::Module& m) {
    {
        auto c = m.cls<RegimeManager>(
            "PyRegimeManager",
            "Regime manager: proposes nominal, degraded, critical or recovery from the mean layer "
            "order parameter and hard boundary violations, and owns the current regime. Changes are "
            "damped by a hysteresis band on the way back to nominal, a cooldown of cooldown_steps "
            "calls and an optional hold of hysteresis_hold_steps consecutive proposals for "
            "escalations; accepted changes are logged (last 100).");
        c.constructor<&make_regime_manager>(
            {py::arg("hysteresis", 0.05), py::arg("cooldown_steps", 10), py::arg("hysteresis_hold_steps", 0)});
        c.method<&regime_evaluate>("evaluate", {"layer_rs", "hard_violations"},
                                   "Propose a regime from the layer order parameters and the hard boundary "
                                   "violations. Returns the regime text; changes nothing.");
        c.method<&regime_transition>("transition", {"proposed"},
                                     "Request a transition to the proposed regime, subject to hold and cooldown. "
                                     "Returns the current regime afterwards.");
        c.method<&regime_force_transition>("force_transition", {"regime"},
                                           "Bypass cooldown and hysteresis hold — event-driven triggers.");
        c.property<&regime_current>("current", "The current regime text.");
        c.property<&regime_transition_log>(
            "transition_log", "Accepted transitions as (step, from, to) tuples, oldest first (at most 100).");
        c.finish();
    }
    {
        auto c = m.cls<SupervisorPolicy>(
            "PySupervisorPolicy",
            "Built-in supervisor policy: a regime manager (hold disabled) and a fixed table of control "
            "actions for the regime that is current after each decision.");
        c.constructor<&make_policy>({py::arg("hysteresis", 0.05), py::arg("cooldown_steps", 10)});
        c.method<&policy_decide>("decide", {"layer_rs", "hard_violations"},
                                 "Decide the control actions for one observation. Returns a list of dicts with "
                                 "keys knob, scope, value, ttl_s, justification; an invalid snapshot gets [] "
                                 "and changes nothing.");
        c.finish();
    }
    {
        auto c = m.cls<RuleEngineObject>(
            "PyRuleEngine",
            "Rule engine over named metrics. rules: sequence of (name, regimes, conditions, logic, actions, "
            "cooldown_s, max_fires) with conditions (metric, op, threshold), op one of > >= < <= ==, logic "
            "AND or OR, and actions (knob, scope, value, ttl_s); cooldown_s is measured on the engine "
            "clock, max_fires 0 means unlimited.");
        c.constructor<&make_rule_engine>({"rules"});
        c.method<&rules_evaluate>("evaluate", {"regime", "ctx"},
                                  "Evaluate rules. Returns list of (knob, scope, value, ttl_s, rule_name).");
        c.method<&rules_evaluate_state>(
            "evaluate_state", {"regime", "layer_rs", "good_layers", "bad_layers", py::arg("extra", py::none)},
            "Evaluate rules against UPDE layer order parameters and partitions.");
        c.method<&rules_advance_clock>("advance_clock", {"dt"},
                                       "Advance the engine clock by dt; a negative or non-finite dt is ignored.");
        c.method<&rules_reset>("reset", {}, "Clear fire counts and last fire times and set the clock to 0.0.");
        c.method<&rules_fire_count>("fire_count", {"rule_name"},
                                    "Number of firings of the named rule so far (0 if it never fired).");
        c.method<&rules_last_fire_time>("last_fire_time", {"rule_name"},
                                        "Clock value of the named rule's last firing, or None.");
        c.property<&rules_clock>("clock", "The engine clock.");
        c.property<&rules_rule_names>("rule_names", "The rule names, in rule order.");
        c.property<&rules_fire_counts>("fire_counts", "Fire count per rule name that has fired.");
        c.property<&rules_last_fire_times>("last_fire_times", "Last fire time per rule name that has fired.");
        c.finish();
    }
}

}  // namespace qor::bindings
