#include "qor/supervisor/regime.hpp"

#include <cmath>

namespace qor {

RegimeManager::RegimeManager(double hysteresis, std::uint64_t cooldown_steps,
                             std::uint64_t hysteresis_hold_steps) noexcept
    : hysteresis_(std::isfinite(hysteresis) && hysteresis >= 0.0 ? hysteresis : 0.0),
      cooldown_steps_(cooldown_steps),
      hold_steps_(hysteresis_hold_steps) {}

Regime RegimeManager::evaluate(const UPDEState& state, const BoundaryState& boundaries) const noexcept {
    return propose(mean_layer_r(state.layers), !boundaries.hard_violations.empty());
}

Regime RegimeManager::propose(double mean_r, bool has_hard_violation) const noexcept {
    if (!std::isfinite(mean_r) || mean_r < critical_threshold || has_hard_violation) return Regime::Critical;
    // The band only delays the way back to Nominal; leaving Nominal happens
    // at the threshold itself.
    const double back_to_nominal = recovery_threshold + hysteresis_;
    switch (current_) {
        case Regime::Nominal:
            return mean_r < recovery_threshold ? Regime::Degraded : Regime::Nominal;
        case Regime::Degraded:
            return mean_r < back_to_nominal ? Regime::Degraded : Regime::Nominal;
        case Regime::Critical:
            // Never straight from Critical to Nominal.
            return Regime::Recovery;
        case Regime::Recovery:
            return mean_r < back_to_nominal ? Regime::Recovery : Regime::Nominal;
    }
    return current_;
}

Regime RegimeManager::transition(Regime proposed) noexcept {
    ++step_count_;
    if (proposed == current_) {
        hold_counter_ = 0;
        return current_;
    }
    if (hold_steps_ != 0 && proposed != Regime::Critical && severity_rank(proposed) > severity_rank(current_)) {
        ++hold_counter_;
        if (hold_counter_ < hold_steps_) return current_;
    } else {
        hold_counter_ = 0;
    }
    if (last_transition_step_ != 0 && proposed != Regime::Critical) {
        const std::uint64_t since = step_count_ > last_transition_step_ ? step_count_ - last_transition_step_ : 0;
        // The hold counter keeps its value while cooling down, so a held
        // escalation passes at once when the cooldown ends.
        if (since < cooldown_steps_) return current_;
    }
    return commit_transition(proposed);
}

Regime RegimeManager::force_transition(Regime regime) noexcept {
    ++step_count_;
    if (regime != current_) commit_transition(regime);
    return current_;
}

Regime RegimeManager::commit_transition(Regime to) noexcept {
    const Regime from = current_;
    last_transition_step_ = step_count_;
    current_ = to;
    hold_counter_ = 0;
    if (log_size_ == log_capacity) {
        log_head_ = (log_head_ + 1) % log_capacity;
        --log_size_;
    }
    log_[(log_head_ + log_size_) % log_capacity] = TransitionRecord{step_count_, from, to};
    ++log_size_;
    return to;
}

}  // namespace qor
