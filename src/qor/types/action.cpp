#include "qor/types/action.hpp"

#include <cmath>

#include "qor/types/text.hpp"

namespace qor {

std::string_view regime_name(Regime r) noexcept {
    switch (r) {
        case Regime::Nominal: return "nominal";
        case Regime::Degraded: return "degraded";
        case Regime::Critical: return "critical";
        case Regime::Recovery: return "recovery";
    }
    return "nominal";
}

std::optional<Regime> regime_from_name(std::string_view text) noexcept {
    if (text == "nominal") return Regime::Nominal;
    if (text == "degraded") return Regime::Degraded;
    if (text == "critical") return Regime::Critical;
    if (text == "recovery") return Regime::Recovery;
    return std::nullopt;
}

std::string_view knob_name(Knob k) noexcept {
    switch (k) {
        case Knob::K: return "K";
        case Knob::Alpha: return "alpha";
        case Knob::Zeta: return "zeta";
        case Knob::Psi: return "Psi";
    }
    return "K";
}

std::optional<Knob> knob_from_name(std::string_view text) noexcept {
    if (text == "K") return Knob::K;
    if (text == "alpha") return Knob::Alpha;
    if (text == "zeta") return Knob::Zeta;
    if (text == "Psi") return Knob::Psi;
    return std::nullopt;
}

std::optional<std::string> ControlAction::validate() const {
    if (trim(scope).empty()) return "control action scope must not be blank";
    if (!std::isfinite(value)) return "control action value must be finite";
    // -0.0 >= 0.0 holds, so a negative zero passes.
    if (!std::isfinite(ttl_s) || !(ttl_s >= 0.0)) return "control action ttl_s must be finite and >= 0";
    if (trim(justification).empty()) return "control action justification must not be blank";
    return std::nullopt;
}

}  // namespace qor
