#include "qor/supervisor/active_inference.hpp"

#include <cmath>

#include "qor/engine/common.hpp"

namespace qor {
namespace {

// Comparisons rather than std::clamp so that a NaN strength (from a NaN
// target) stays NaN instead of depending on argument order.
double clamp_strength(double s) noexcept {
    if (s < 0.0) return 0.0;
    if (s > 5.0) return 5.0;
    return s;
}

}  // namespace

Result<ActiveInferenceAgent> ActiveInferenceAgent::create(std::uint64_t n_hidden, double target_r, double lr) {
    if (n_hidden == 0) return QorError::invalid_config("n_hidden > 0");
    if (!std::isfinite(target_r) || target_r < 0.0 || target_r > 1.0)
        return QorError::invalid_config("target_r must be finite and in [0, 1]");
    if (!std::isfinite(lr) || !(lr > 0.0)) return QorError::invalid_config("lr must be finite and > 0");
    return ActiveInferenceAgent(n_hidden, target_r, lr);
}

std::pair<double, double> ActiveInferenceAgent::control(std::span<const double> phases) const noexcept {
    if (phases.empty()) return {0.0, 0.0};
    for (const double p : phases)
        if (!std::isfinite(p)) return {0.0, 0.0};
    const OrderParameter op = order_parameter(phases);
    const double e = target_r_ - op.r;
    const double strength = clamp_strength(10.0 * e);
    const double phase = e <= 0.0 ? op.psi : wrap_phase(op.psi + PI);
    return {strength, phase};
}

std::pair<double, double> ActiveInferenceAgent::control_from_summary(std::optional<double> r_obs,
                                                                     std::optional<double> psi_obs) const noexcept {
    const double r = r_obs.value_or(target_r_);
    const double p = psi_obs.value_or(0.0);
    const double d = r - target_r_;
    const double strength = clamp_strength(10.0 * lr_ * std::fabs(d));
    const double phase = d > 0.0 ? wrap_phase(p + PI) : p;
    return {strength, phase};
}

}  // namespace qor
