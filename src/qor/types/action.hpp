// The supervisor's control vocabulary: operating regimes, the knobs of the
// phase-dynamics equation, and the control action record. Shared by every
// supervisor component and by the binding layer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

// Operating regime of the supervised network. The ordinals are fixed (they
// are the declaration order); the severity ranks are a separate table.
enum class Regime : std::uint8_t {
    Nominal = 0,
    Degraded = 1,
    Critical = 2,
    Recovery = 3,
};

// Severity, used to tell escalations from de-escalations. Recovery ranks
// between Degraded and Critical, which is why this is not the ordinal.
constexpr unsigned severity_rank(Regime r) noexcept {
    switch (r) {
        case Regime::Nominal: return 0;
        case Regime::Degraded: return 1;
        case Regime::Recovery: return 2;
        case Regime::Critical: return 3;
    }
    return 0;
}

// "nominal", "degraded", "critical", "recovery".
std::string_view regime_name(Regime r) noexcept;
// Exact, case-sensitive match against the four names.
std::optional<Regime> regime_from_name(std::string_view text) noexcept;

// A control input of the phase-dynamics equation. std::hash<Knob> is the
// standard enumeration hash, so Knob keys unordered containers directly.
enum class Knob : std::uint8_t {
    K = 0,      // global coupling strength
    Alpha = 1,  // phase lag
    Zeta = 2,   // strength of the external drive
    Psi = 3,    // reference phase of the external drive
};

// "K", "alpha", "zeta", "Psi".
std::string_view knob_name(Knob k) noexcept;
// Exact, case-sensitive match against the four names.
std::optional<Knob> knob_from_name(std::string_view text) noexcept;

// One recommended change of a knob.
struct ControlAction {
    Knob knob = Knob::K;
    std::string scope;          // "global" or "layer_{i}"
    double value = 0.0;         // the change; its sign is the direction
    double ttl_s = 0.0;         // how long the action stays in force, seconds
    std::string justification;  // human-readable reason

    // nullopt when the action is valid, otherwise the message of the first
    // failed check (scope, value, ttl_s, justification, in that order).
    std::optional<std::string> validate() const;
};

}  // namespace qor
