#include "qor/supervisor/boundaries.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

#include "qor/types/format.hpp"
#include "qor/types/text.hpp"

namespace qor {
namespace {

// Looks values up by name: a scan for the few values a caller usually
// passes, an open-addressing table (one allocation, no nodes) for more.
class ValueLookup {
public:
    explicit ValueLookup(ObservedValues values) : values_(values) {
        if (values.size() <= scan_limit) return;
        std::size_t capacity = 16;
        while (capacity < 2 * values.size()) capacity *= 2;
        mask_ = capacity - 1;
        slots_.assign(capacity, empty);
        for (std::size_t i = 0; i < values.size(); ++i) {
            std::size_t h = hash(values[i].first) & mask_;
            while (slots_[h] != empty && values_[slots_[h]].first != values[i].first) h = (h + 1) & mask_;
            slots_[h] = i;  // a repeated name keeps its last value
        }
    }
    std::optional<double> find(std::string_view name) const {
        if (slots_.empty()) {
            // From the back, so that a repeated name keeps its last value, as
            // the table does.
            for (std::size_t i = values_.size(); i-- > 0;)
                if (values_[i].first == name) return values_[i].second;
            return std::nullopt;
        }
        for (std::size_t h = hash(name) & mask_; slots_[h] != empty; h = (h + 1) & mask_)
            if (values_[slots_[h]].first == name) return values_[slots_[h]].second;
        return std::nullopt;
    }

private:
    static constexpr std::size_t scan_limit = 8;
    static constexpr std::size_t empty = static_cast<std::size_t>(-1);
    static std::size_t hash(std::string_view s) noexcept { return std::hash<std::string_view>{}(s); }
    ObservedValues values_;
    std::vector<std::size_t> slots_;
    std::size_t mask_ = 0;
};

std::string bound_text(const std::optional<double>& bound) {
    if (!bound) return "None";
    return "Some(" + fmt_debug(*bound) + ")";
}

}  // namespace

std::string range_violation_message(const BoundaryDef& def, double value) {
    // Fixed point with four decimals, correctly rounded; a finite double has
    // at most 309 integer digits.
    char buf[400];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 4);
    std::string out;
    out.reserve(def.name.size() + def.variable.size() + 48);
    out += def.name;
    out += ": ";
    out += def.variable;
    out += '=';
    out.append(buf, res.ptr);
    out += " outside [";
    out += bound_text(def.lower);
    out += ", ";
    out += bound_text(def.upper);
    out += ']';
    return out;
}

BoundaryState BoundaryObserver::observe(std::span<const BoundaryDef> defs, ObservedValues values) const {
    BoundaryState state;
    const ValueLookup lookup(values);
    for (const BoundaryDef& def : defs) {
        if (trim(def.name).empty() || trim(def.variable).empty()) continue;
        if (def.lower && !std::isfinite(*def.lower)) continue;
        if (def.upper && !std::isfinite(*def.upper)) continue;
        if (def.lower && def.upper && *def.upper < *def.lower) continue;
        const std::optional<double> found = lookup.find(def.variable);
        if (!found) continue;
        const double v = *found;
        if (!std::isfinite(v)) {
            std::string message = def.name + ": " + def.variable + " is non-finite and treated as hard violation";
            state.violations.push_back(message);
            state.hard_violations.push_back(std::move(message));
            continue;
        }
        if (!((def.lower && v < *def.lower) || (def.upper && v > *def.upper))) continue;
        std::string message = range_violation_message(def, v);
        state.violations.push_back(message);
        (def.severity == Severity::Hard ? state.hard_violations : state.soft_violations).push_back(std::move(message));
    }
    return state;
}

}  // namespace qor
