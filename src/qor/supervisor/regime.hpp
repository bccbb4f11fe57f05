// The regime manager: classifies the supervised network from its mean layer
// coherence and hard boundary violations, and owns the current regime.
// Proposed changes are damped by a hysteresis band on the way back to
// Nominal, a cooldown counted in transition requests, and an optional hold
// that makes an escalation wait for repeated proposals. Accepted changes are
// kept in a bounded log.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "qor/types/action.hpp"
#include "qor/types/state.hpp"

namespace qor {

struct TransitionRecord {
    std::uint64_t step = 0;  // step counter at the accepted change
    Regime from = Regime::Nominal;
    Regime to = Regime::Nominal;
};

class RegimeManager {
public:
    static constexpr double critical_threshold = 0.3;
    static constexpr double recovery_threshold = 0.6;
    static constexpr std::size_t log_capacity = 100;

    // A negative, infinite or NaN hysteresis is taken as 0.0 (no error): the
    // band is always finite and non-negative.
    RegimeManager(double hysteresis, std::uint64_t cooldown_steps, std::uint64_t hysteresis_hold_steps) noexcept;

    // Proposal for a snapshot; changes nothing.
    Regime evaluate(const UPDEState& state, const BoundaryState& boundaries) const noexcept;
    // The same from the mean layer R and whether any hard violation is present.
    Regime propose(double mean_r, bool has_hard_violation) const noexcept;

    // One transition request through hold and cooldown; returns the regime
    // current afterwards.
    Regime transition(Regime proposed) noexcept;
    // A request that bypasses hold and cooldown (event-driven triggers).
    Regime force_transition(Regime regime) noexcept;
    // Makes `to` current and logs the change; returns `to`.
    Regime commit_transition(Regime to) noexcept;

    Regime current() const noexcept { return current_; }
    double hysteresis() const noexcept { return hysteresis_; }
    std::uint64_t cooldown_steps() const noexcept { return cooldown_steps_; }
    std::uint64_t hysteresis_hold_steps() const noexcept { return hold_steps_; }
    std::uint64_t step_count() const noexcept { return step_count_; }
    std::uint64_t last_transition_step() const noexcept { return last_transition_step_; }
    std::uint64_t hold_counter() const noexcept { return hold_counter_; }

    // The log, oldest entry first: log_size() entries, log_entry(0) the oldest.
    std::size_t log_size() const noexcept { return log_size_; }
    const TransitionRecord& log_entry(std::size_t i) const noexcept {
        return log_[(log_head_ + i) % log_capacity];
    }

private:
    double hysteresis_;
    std::uint64_t cooldown_steps_;
    std::uint64_t hold_steps_;
    std::uint64_t step_count_ = 0;
    std::uint64_t last_transition_step_ = 0;  // 0: no transition yet
    std::uint64_t hold_counter_ = 0;
    Regime current_ = Regime::Nominal;
    // Ring buffer: a full log drops its oldest entry without moving the rest.
    std::array<TransitionRecord, log_capacity> log_{};
    std::size_t log_head_ = 0;
    std::size_t log_size_ = 0;
};

}  // namespace qor
