// Named variables checked against declared safe ranges. Every violation
// becomes a message, filed as soft or hard; the hard list is what the regime
// evaluation takes as hard violations.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>

#include "qor/types/state.hpp"

namespace qor {

enum class Severity { Soft, Hard };

struct BoundaryDef {
    std::string name;      // first word of the messages
    std::string variable;  // key looked up in the observed values
    std::optional<double> lower;  // inclusive; absent: unbounded below
    std::optional<double> upper;  // inclusive; absent: unbounded above
    Severity severity = Severity::Soft;
};

// Observed values by variable name (names distinct).
using ObservedValues = std::span<const std::pair<std::string, double>>;

class BoundaryObserver {
public:
    // Definitions in order. Blank names or variables and inconsistent bounds
    // are skipped, as are variables without a value; a non-finite value is
    // always a hard violation.
    BoundaryState observe(std::span<const BoundaryDef> defs, ObservedValues values) const;
};

// "name: variable=1.5000 outside [None, Some(1.0)]"
std::string range_violation_message(const BoundaryDef& def, double value);

}  // namespace qor
