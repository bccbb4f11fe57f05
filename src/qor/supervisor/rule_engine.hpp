// The rule engine: a supervisory policy expressed as data. Each rule names
// the regimes in which it is active, a condition over named metrics and the
// actions it emits when it fires, with a per-rule cooldown on the engine's
// own clock and a cap on the number of firings. Fire counts and last fire
// times are kept per rule name (rules may share a name, and then share them).
//
// Metrics are resolved once, at construction, into a table of the distinct
// metric names the conditions read; an evaluation works on one value per
// table entry, NaN standing for a metric the context does not hold (absent
// and non-finite metrics both make a condition false, so one marker serves).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "qor/supervisor/compare.hpp"

namespace qor {

enum class RuleLogic : std::uint8_t { And, Or };

struct Condition {
    std::string metric;
    CompareOp op = CompareOp::Gt;
    double threshold = 0.0;

    // The test on a metric value; a non-finite value never satisfies it.
    bool evaluate(double value) const noexcept { return compare(op, value, threshold); }
};

// Several conditions joined by AND (all hold) or OR (at least one holds).
struct CompoundCondition {
    RuleLogic logic = RuleLogic::And;
    std::vector<Condition> conditions;
};

using RuleCondition = std::variant<Condition, CompoundCondition>;

struct RuleAction {
    std::string knob;  // free-form, not checked against the Knob names
    std::string scope;
    double value = 0.0;
    double ttl_s = 0.0;
};

struct PolicyRule {
    std::string name;
    std::vector<std::string> regimes;  // upper-cased
    RuleCondition condition;
    std::vector<RuleAction> actions;
    double cooldown_s = 0.0;      // 0 disables
    std::uint32_t max_fires = 0;  // 0 means unlimited
};

// A rule as a user writes it, before its texts are parsed.
struct ConditionInput {
    std::string metric;
    std::string op;
    double threshold = 0.0;
};

struct RuleInput {
    std::string name;
    std::vector<std::string> regimes;
    std::vector<ConditionInput> conditions;
    std::string logic;
    std::vector<RuleAction> actions;
    double cooldown_s = 0.0;
    std::uint32_t max_fires = 0;
};

// Parses the texts of one rule: each op ("unknown op: {op}"), then the
// logic, upper-cased ("unknown rule logic: {LOGIC}", checked even for a
// single condition), and upper-cases the regimes. One condition becomes a
// single Condition, any other number a compound. Returns the rule or the
// message of the first failure; values are checked later, by try_new.
std::variant<PolicyRule, std::string> parse_rule(RuleInput input);

// One action of a fired rule, by position in the engine's rules.
struct FiredAction {
    std::size_t rule = 0;
    std::size_t action = 0;
};

class RuleEngine {
public:
    // Validates the rules in order and returns the engine, or the message of
    // the first failed check.
    static std::variant<RuleEngine, std::string> try_new(std::vector<PolicyRule> rules);

    const std::vector<PolicyRule>& rules() const noexcept { return rules_; }
    const RuleAction& action(const FiredAction& f) const noexcept { return rules_[f.rule].actions[f.action]; }
    const std::string& rule_name(const FiredAction& f) const noexcept { return rules_[f.rule].name; }

    // The distinct metric names the conditions read, in order of first use.
    const std::vector<std::string>& metric_names() const noexcept { return metric_names_; }
    std::optional<std::size_t> metric_index(std::string_view name) const noexcept;

    // Fills `values` (one per metric name) from a context of (name, value)
    // entries; later entries of the same name win, missing names are NaN.
    void resolve_metrics(std::span<const std::pair<std::string, double>> ctx, std::vector<double>& values) const;
    // Overwrites the metrics that evaluate_state derives from layer order
    // parameters: "stability_proxy" and "R" (the mean), "R.{i}"/"R_{i}" and
    // "psi.{i}"/"psi_{i}" (0.0) per layer, "R_good.{k}"/"R_good_{k}" and
    // "R_bad.{k}"/"R_bad_{k}" per list position k whose layer exists.
    void apply_layer_metrics(std::span<double> values, std::span<const double> layer_rs,
                             std::span<const std::size_t> good_layers, std::span<const std::size_t> bad_layers) const;

    // Fires the rules active in `regime` (upper-cased; a blank text fires
    // nothing) whose condition holds and that pass cooldown and cap, and
    // returns their actions in order. `metric_values` has one entry per
    // metric name (NaN: absent). The result stays valid until the next call.
    const std::vector<FiredAction>& evaluate(std::string_view regime, std::span<const double> metric_values);

    // Adds dt to the clock when it is finite and not negative; ignores it otherwise.
    void advance_clock(double dt) noexcept;
    // Forgets every firing and sets the clock to 0.0; the rules stay.
    void reset() noexcept;

    double clock() const noexcept { return clock_; }
    // Firings so far of the rules of that name; 0 for a name that never
    // fired or does not exist.
    std::uint32_t fire_count(std::string_view name) const noexcept;
    std::optional<double> last_fire_time(std::string_view name) const noexcept;

    // The distinct rule names in order of first use, with their firing state.
    std::size_t name_count() const noexcept { return names_.size(); }
    std::size_t name_slot(std::size_t rule) const noexcept { return compiled_[rule].name_slot; }
    const std::string& name(std::size_t slot) const noexcept { return names_[slot]; }
    std::uint32_t fire_count_at(std::size_t slot) const noexcept { return fire_counts_[slot]; }
    double last_fire_time_at(std::size_t slot) const noexcept { return last_fire_times_[slot]; }

private:
    using IndexMap = TextIndex;

    // A condition with its metric resolved to the metric table.
    struct Test {
        std::size_t metric;
        Condition condition;
    };
    struct Compiled {
        RuleLogic logic;          // a single condition is an AND of one
        std::vector<Test> tests;  // non-empty
        std::size_t name_slot;
    };

    // A metric that evaluate_state derives from the layers.
    enum class Derived : std::uint8_t { Mean, LayerR, LayerPsi, GoodR, BadR };
    struct DerivedMetric {
        std::size_t metric;
        Derived kind;
        std::size_t index;  // layer index or list position
    };

    RuleEngine() = default;
    bool condition_holds(const Compiled& c, std::span<const double> values) const noexcept;

    std::vector<PolicyRule> rules_;
    std::vector<Compiled> compiled_;
    std::vector<std::string> metric_names_;
    IndexMap metric_index_;
    std::vector<DerivedMetric> derived_;

    std::vector<std::string> names_;
    IndexMap name_index_;
    // A name has fired exactly when its count is non-zero (the count saturates
    // instead of wrapping, so it never returns to 0 until reset).
    std::vector<std::uint32_t> fire_counts_;
    std::vector<double> last_fire_times_;
    double clock_ = 0.0;

    std::vector<FiredAction> fired_;
};

}  // namespace qor
