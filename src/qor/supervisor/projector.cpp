#include "qor/supervisor/projector.hpp"

#include <cmath>
#include <limits>

namespace qor {

bool ActionProjector::set_rate_limit(Knob knob, double limit) noexcept {
    // -0.0 >= 0.0 holds, so a negative zero is kept like 0.0.
    if (!std::isfinite(limit) || !(limit >= 0.0)) return false;
    rate_limits_[index(knob)] = limit;
    return true;
}

bool ActionProjector::set_bounds(Knob knob, double lower, double upper) noexcept {
    if (!std::isfinite(lower) || !std::isfinite(upper) || !(lower <= upper)) return false;
    bounds_[index(knob)] = std::pair{lower, upper};
    return true;
}

double ActionProjector::project(Knob knob, double value, double previous_value) const noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const auto& b = bounds_[index(knob)];
    const double lo = b ? b->first : -inf;
    const double hi = b ? b->second : inf;
    const auto clamp = [&](double x) { return std::fmin(hi, std::fmax(lo, x)); };
    // Without a usable input the answer is the neutral 0.0, but still inside
    // the bounds: a safety projection must not hand out a value outside them
    // (bounds that exclude 0 give their end nearest to it).
    if (!std::isfinite(value) || !std::isfinite(previous_value)) return clamp(0.0);
    const double target = clamp(value);
    const auto& limit = rate_limits_[index(knob)];
    if (!limit) return target;
    const double d = target - previous_value;
    if (std::fabs(d) <= *limit) return target;
    // The previous value may lie outside the bounds; the result never does.
    return clamp(previous_value + (d > 0.0 ? *limit : -*limit));
}

}  // namespace qor
