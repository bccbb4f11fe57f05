// A small controller for a target level of synchrony: each observation is
// answered with a drive strength in [0, 5] and a drive phase, from the gap
// between the observed and the target order parameter.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "qor/types/error.hpp"

namespace qor {

class ActiveInferenceAgent {
public:
    // InvalidConfig unless n_hidden > 0, target_r is finite in [0, 1] and lr
    // is finite and > 0 (checked in that order).
    static Result<ActiveInferenceAgent> create(std::uint64_t n_hidden, double target_r, double lr);

    double target_r() const noexcept { return target_r_; }
    // Any value, unchecked (the constructor's check is for configuration only).
    void set_target_r(double target_r) noexcept { target_r_ = target_r; }
    double lr() const noexcept { return lr_; }
    std::uint64_t n_hidden() const noexcept { return n_hidden_; }

    // From observed phases: e = target - R, strength clamp(10 e, 0, 5), phase
    // psi when at or above target, psi + pi (wrapped) below. (0, 0) for no
    // phases or any non-finite phase.
    std::pair<double, double> control(std::span<const double> phases) const noexcept;

    // From summary values (r defaults to the target, psi to 0): d = r -
    // target, strength clamp(10 lr |d|, 0, 5), phase psi + pi (wrapped) above
    // target, psi as given otherwise.
    std::pair<double, double> control_from_summary(std::optional<double> r_obs,
                                                   std::optional<double> psi_obs) const noexcept;

private:
    ActiveInferenceAgent(std::uint64_t n_hidden, double target_r, double lr) noexcept
        : n_hidden_(n_hidden), target_r_(target_r), lr_(lr) {}

    std::uint64_t n_hidden_;
    double target_r_;
    double lr_;
};

}  // namespace qor
