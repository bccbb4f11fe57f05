// Projection of a proposed knob value onto what is allowed: a value range
// per knob and a maximum change per application relative to the value in
// force.
#pragma once

#include <array>
#include <optional>
#include <utility>

#include "qor/types/action.hpp"

namespace qor {

class ActionProjector {
public:
    // Keeps a limit only when it is finite and not negative (0 freezes the
    // knob); returns whether it was kept.
    bool set_rate_limit(Knob knob, double limit) noexcept;
    // Keeps bounds only when both ends are finite and lower <= upper.
    bool set_bounds(Knob knob, double lower, double upper) noexcept;

    std::optional<double> rate_limit(Knob knob) const noexcept { return rate_limits_[index(knob)]; }
    std::optional<std::pair<double, double>> bounds(Knob knob) const noexcept { return bounds_[index(knob)]; }

    // Clamp the target into the bounds, limit the step from previous_value,
    // clamp again. A non-finite value or previous value gives 0.0, clamped
    // into the bounds like every other result.
    double project(Knob knob, double value, double previous_value) const noexcept;

private:
    static constexpr std::size_t index(Knob k) noexcept { return static_cast<std::size_t>(k); }
    std::array<std::optional<double>, 4> rate_limits_{};
    std::array<std::optional<std::pair<double, double>>, 4> bounds_{};
};

}  // namespace qor
