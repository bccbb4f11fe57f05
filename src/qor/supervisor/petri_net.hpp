// A place/transition net with optional threshold guards on named metrics.
// The net is fixed once built and holds no marking: every query takes the
// marking (token counts by place name) and the metric context, and a step
// returns the new counts.
#pragma once

#include <cstdint>
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

// "metric op threshold": the transition may fire only while the test holds.
struct Guard {
    std::string metric;
    CompareOp op = CompareOp::Gt;
    double threshold = 0.0;

    // An absent or non-finite metric value fails every test; Eq compares
    // within 1e-12.
    bool test(const double* value) const noexcept;
};

// Parses a guard text: exactly three white-space separated tokens, a known
// operator and a finite decimal threshold. The error is the complete
// message ("guard parse error: ...").
std::variant<Guard, std::string> parse_guard(std::string_view text);

// The decimal literals a threshold may be written as: optional sign, digits
// with optional fraction and exponent, or inf / infinity / nan in any letter
// case. No white space, hexadecimal or digit separators. Out-of-range values
// become +-inf or +-0 as their magnitude says.
std::optional<double> parse_float_literal(std::string_view text) noexcept;

struct Arc {
    std::string place;
    std::uint32_t weight = 0;
};

struct Transition {
    std::string name;
    std::vector<Arc> inputs;
    std::vector<Arc> outputs;
    std::optional<Guard> guard;
};

// Token counts by name, holding only non-zero counts. Names need not be
// places: such entries take part in nothing but are kept.
class Marking {
public:
    struct Entry {
        std::string place;
        std::uint32_t count;
    };

    // Sets the count of `place`; 0 removes the entry.
    void set(std::string_view place, std::uint32_t count);
    // Appends an entry for a name not yet present (the keys of a dict);
    // a zero count is dropped.
    void add_distinct(std::string place, std::uint32_t count);
    std::uint32_t count(std::string_view place) const noexcept;
    const std::vector<Entry>& entries() const noexcept { return entries_; }
    void reserve(std::size_t n) { entries_.reserve(n); }

private:
    std::vector<Entry> entries_;
};

// Metric values by name, as given by the caller (names distinct).
using MetricContext = std::span<const std::pair<std::string, double>>;

class PetriNet {
public:
    // Checks the places and transitions in order (place names, then each
    // transition's name, guard and arcs); the error is the complete message.
    static std::variant<PetriNet, std::string> create(std::vector<std::string> places,
                                                      std::vector<Transition> transitions);

    const std::vector<std::string>& places() const noexcept { return places_; }
    const std::vector<Transition>& transitions() const noexcept { return transitions_; }

    // Token count of every place, in place order.
    std::vector<std::uint32_t> place_counts(const Marking& marking) const;

    // Indices of the enabled transitions, in transition order.
    std::vector<std::size_t> enabled(const Marking& marking, MetricContext ctx) const;

    struct StepResult {
        std::vector<std::uint32_t> counts;  // per place, in place order
        std::optional<std::size_t> fired;   // index of the fired transition
    };
    // Fires the first enabled transition: input arcs take their weight
    // (stopping at 0), then output arcs add theirs (stopping at 2^32 - 1).
    StepResult step(const Marking& marking, MetricContext ctx) const;

    // Names of the marking with a non-zero count, places or not.
    static std::vector<std::string_view> active_places(const Marking& marking);

private:
    using Index = TextIndex;

    // Arcs and guards resolved to slots: a place's slot is the index of the
    // first place of that name, a guard's the index of its metric.
    struct ResolvedArc {
        std::size_t slot;
        std::uint32_t weight;
    };
    struct Resolved {
        std::vector<ResolvedArc> inputs;
        std::vector<ResolvedArc> outputs;
        std::int64_t metric = -1;  // -1: no guard
    };

    std::vector<std::uint32_t> slot_counts(const Marking& marking) const;
    std::vector<const double*> metric_values(MetricContext ctx) const;
    bool is_enabled(std::size_t t, std::span<const std::uint32_t> counts,
                    std::span<const double* const> metrics) const noexcept;
    std::vector<std::uint32_t> counts_by_place(std::span<const std::uint32_t> slots) const;

    std::vector<std::string> places_;
    std::vector<Transition> transitions_;
    std::vector<std::size_t> place_slot_;
    std::vector<Resolved> resolved_;
    Index place_index_;
    Index metric_index_;
};

}  // namespace qor
