#include "qor/supervisor/rule_engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "qor/types/format.hpp"
#include "qor/types/text.hpp"

namespace qor {

std::variant<PolicyRule, std::string> parse_rule(RuleInput input) {
    std::vector<Condition> conditions;
    conditions.reserve(input.conditions.size());
    for (ConditionInput& c : input.conditions) {
        const std::optional<CompareOp> op = compare_op_from_text(c.op);
        if (!op) return "unknown op: " + c.op;
        conditions.push_back(Condition{std::move(c.metric), *op, c.threshold});
    }
    std::string logic_text = to_upper(input.logic);
    RuleLogic logic;
    if (logic_text == "AND")
        logic = RuleLogic::And;
    else if (logic_text == "OR")
        logic = RuleLogic::Or;
    else
        return "unknown rule logic: " + logic_text;

    PolicyRule rule;
    rule.name = std::move(input.name);
    rule.regimes.reserve(input.regimes.size());
    for (const std::string& r : input.regimes) rule.regimes.push_back(to_upper(r));
    if (conditions.size() == 1)
        rule.condition = std::move(conditions.front());
    else
        rule.condition = CompoundCondition{logic, std::move(conditions)};
    rule.actions = std::move(input.actions);
    rule.cooldown_s = input.cooldown_s;
    rule.max_fires = input.max_fires;
    return rule;
}

namespace {

std::span<const Condition> conditions_of(const RuleCondition& c) {
    if (const auto* single = std::get_if<Condition>(&c)) return {single, 1};
    return std::get<CompoundCondition>(c).conditions;
}

std::optional<std::string> validate_rule(const PolicyRule& rule) {
    if (rule.name.empty()) return "policy rule name must not be empty";
    if (const auto* compound = std::get_if<CompoundCondition>(&rule.condition); compound && compound->conditions.empty())
        return "compound policy condition must not be empty";
    for (const Condition& c : conditions_of(rule.condition)) {
        if (c.metric.empty()) return "policy condition metric must not be empty";
        if (!std::isfinite(c.threshold))
            return "policy condition " + quoted(c.metric) + ": threshold must be finite";
    }
    const std::string name = quoted(rule.name);
    // -0.0 >= 0.0 holds, so a negative zero passes; NaN fails.
    if (!std::isfinite(rule.cooldown_s) || !(rule.cooldown_s >= 0.0))
        return "policy rule " + name + ": cooldown_s must be finite and >= 0";
    if (rule.actions.empty()) return "policy rule " + name + ": actions must not be empty";
    for (const RuleAction& a : rule.actions) {
        if (a.knob.empty()) return "policy rule " + name + ": action knob must not be empty";
        if (a.scope.empty()) return "policy rule " + name + ": action scope must not be empty";
        if (!std::isfinite(a.value)) return "policy rule " + name + ": action value must be finite";
        if (!std::isfinite(a.ttl_s) || !(a.ttl_s >= 0.0))
            return "policy rule " + name + ": action ttl_s must be finite and >= 0";
    }
    return std::nullopt;
}

// The index of `text` when it is written the way evaluate_state writes
// indices (decimal digits, no sign, no leading zero).
std::optional<std::size_t> canonical_index(std::string_view text) noexcept {
    if (text.empty() || (text.size() > 1 && text.front() == '0')) return std::nullopt;
    std::size_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(ch - '0');
        if (v > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
        v = v * 10 + digit;
    }
    return v;
}

// The index after "{family}." or "{family}_" in `name`.
std::optional<std::size_t> family_index(std::string_view name, std::string_view family) noexcept {
    if (name.size() <= family.size() + 1 || name.substr(0, family.size()) != family) return std::nullopt;
    const char sep = name[family.size()];
    if (sep != '.' && sep != '_') return std::nullopt;
    return canonical_index(name.substr(family.size() + 1));
}

std::size_t intern(std::vector<std::string>& names, auto& index, const std::string& name) {
    if (auto it = index.find(name); it != index.end()) return it->second;
    const std::size_t slot = names.size();
    names.push_back(name);
    index.emplace(name, slot);
    return slot;
}

}  // namespace

std::variant<RuleEngine, std::string> RuleEngine::try_new(std::vector<PolicyRule> rules) {
    for (const PolicyRule& rule : rules)
        if (auto message = validate_rule(rule)) return std::move(*message);

    RuleEngine engine;
    engine.compiled_.reserve(rules.size());
    for (const PolicyRule& rule : rules) {
        Compiled c;
        c.logic = std::holds_alternative<Condition>(rule.condition) ? RuleLogic::And
                                                                    : std::get<CompoundCondition>(rule.condition).logic;
        for (const Condition& cond : conditions_of(rule.condition))
            c.tests.push_back(Test{intern(engine.metric_names_, engine.metric_index_, cond.metric), cond});
        c.name_slot = intern(engine.names_, engine.name_index_, rule.name);
        engine.compiled_.push_back(std::move(c));
    }

    for (std::size_t m = 0; m < engine.metric_names_.size(); ++m) {
        const std::string_view name = engine.metric_names_[m];
        if (name == "stability_proxy" || name == "R") {
            engine.derived_.push_back({m, Derived::Mean, 0});
        } else if (auto k = family_index(name, "R_good")) {
            engine.derived_.push_back({m, Derived::GoodR, *k});
        } else if (auto k = family_index(name, "R_bad")) {
            engine.derived_.push_back({m, Derived::BadR, *k});
        } else if (auto i = family_index(name, "R")) {
            engine.derived_.push_back({m, Derived::LayerR, *i});
        } else if (auto i = family_index(name, "psi")) {
            engine.derived_.push_back({m, Derived::LayerPsi, *i});
        }
    }

    engine.fire_counts_.assign(engine.names_.size(), 0);
    engine.last_fire_times_.assign(engine.names_.size(), 0.0);
    engine.rules_ = std::move(rules);
    return engine;
}

std::optional<std::size_t> RuleEngine::metric_index(std::string_view name) const noexcept {
    if (auto it = metric_index_.find(name); it != metric_index_.end()) return it->second;
    return std::nullopt;
}

void RuleEngine::resolve_metrics(std::span<const std::pair<std::string, double>> ctx,
                                 std::vector<double>& values) const {
    values.assign(metric_names_.size(), std::numeric_limits<double>::quiet_NaN());
    if (metric_names_.empty()) return;
    for (const auto& [name, value] : ctx)
        if (auto it = metric_index_.find(name); it != metric_index_.end()) values[it->second] = value;
}

void RuleEngine::apply_layer_metrics(std::span<double> values, std::span<const double> layer_rs,
                                     std::span<const std::size_t> good_layers,
                                     std::span<const std::size_t> bad_layers) const {
    const std::size_t n = layer_rs.size();
    double mean = 0.0;
    if (n > 0) {
        for (double r : layer_rs) mean += r;
        mean /= static_cast<double>(n);
    }
    for (const DerivedMetric& d : derived_) {
        double& slot = values[d.metric];
        switch (d.kind) {
            case Derived::Mean:
                slot = mean;
                break;
            case Derived::LayerR:
                if (d.index < n) slot = layer_rs[d.index];
                break;
            case Derived::LayerPsi:
                if (d.index < n) slot = 0.0;
                break;
            case Derived::GoodR:
                // Positions whose layer does not exist are skipped, so an
                // entry of `extra` under that name stays.
                if (d.index < good_layers.size() && good_layers[d.index] < n) slot = layer_rs[good_layers[d.index]];
                break;
            case Derived::BadR:
                if (d.index < bad_layers.size() && bad_layers[d.index] < n) slot = layer_rs[bad_layers[d.index]];
                break;
        }
    }
}

bool RuleEngine::condition_holds(const Compiled& c, std::span<const double> values) const noexcept {
    // Both loops stop at the first test that settles the result.
    if (c.logic == RuleLogic::And) {
        for (const Test& t : c.tests)
            if (!t.condition.evaluate(values[t.metric])) return false;
        return true;
    }
    for (const Test& t : c.tests)
        if (t.condition.evaluate(values[t.metric])) return true;
    return false;
}

const std::vector<FiredAction>& RuleEngine::evaluate(std::string_view regime, std::span<const double> metric_values) {
    fired_.clear();
    if (trim(regime).empty()) return fired_;
    // The untrimmed text is what is matched.
    const std::string upper = to_upper(regime);
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        const PolicyRule& rule = rules_[r];
        bool active = false;
        for (const std::string& g : rule.regimes)
            if (g == upper) {
                active = true;
                break;
            }
        if (!active) continue;
        const Compiled& c = compiled_[r];
        if (!condition_holds(c, metric_values)) continue;
        std::uint32_t& count = fire_counts_[c.name_slot];
        double& last = last_fire_times_[c.name_slot];
        if (rule.cooldown_s > 0.0 && count != 0 && rule.cooldown_s > clock_ - last) continue;
        if (rule.max_fires != 0 && count >= rule.max_fires) continue;
        // Saturate rather than wrap: a wrapped count would read as "never
        // fired" and lift the cap.
        if (count != std::numeric_limits<std::uint32_t>::max()) ++count;
        last = clock_;
        for (std::size_t a = 0; a < rule.actions.size(); ++a) fired_.push_back(FiredAction{r, a});
    }
    return fired_;
}

void RuleEngine::advance_clock(double dt) noexcept {
    if (std::isfinite(dt) && dt >= 0.0) clock_ += dt;
}

void RuleEngine::reset() noexcept {
    std::fill(fire_counts_.begin(), fire_counts_.end(), 0u);
    std::fill(last_fire_times_.begin(), last_fire_times_.end(), 0.0);
    clock_ = 0.0;
}

std::uint32_t RuleEngine::fire_count(std::string_view name) const noexcept {
    if (auto it = name_index_.find(name); it != name_index_.end()) return fire_counts_[it->second];
    return 0;
}

std::optional<double> RuleEngine::last_fire_time(std::string_view name) const noexcept {
    if (auto it = name_index_.find(name); it != name_index_.end() && fire_counts_[it->second] != 0)
        return last_fire_times_[it->second];
    return std::nullopt;
}

}  // namespace qor
