#include "qor/supervisor/boundaries.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <unordered_map>

#include "qor/types/format.hpp"
#include "qor/types/text.hpp"

namespace qor {
namespace {

// Looks values up by name: a scan for the few values a caller usually
// passes, a hash table once there are enough for scans to add up.
class ValueLookup {
public:
    explicit ValueLookup(ObservedValues values) : values_(values) {
        if (values.size() > scan_limit) {
            index_.reserve(values.size());
            for (const auto& [name, value] : values) index_.insert_or_assign(std::string_view(name), value);
        }
    }
    std::optional<double> find(std::string_view name) const {
        if (values_.size() > scan_limit) {
            const auto it = index_.find(name);
            if (it == index_.end()) return std::nullopt;
            return it->second;
        }
        // From the back, so that a repeated name keeps its last value, as
        // the hash table does.
        for (std::size_t i = values_.size(); i-- > 0;)
            if (values_[i].first == name) return values_[i].second;
        return std::nullopt;
    }

private:
    static constexpr std::size_t scan_limit = 16;
    ObservedValues values_;
    std::unordered_map<std::string_view, double> index_;
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
