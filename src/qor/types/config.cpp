#include "qor/types/config.hpp"

#include <cmath>
#include <string>

#include "qor/types/format.hpp"

namespace qor {
namespace {

// Positive excludes both zeros; subnormals pass.
bool positive_finite(double x) noexcept { return std::isfinite(x) && x > 0.0; }

}  // namespace

std::optional<IntegrationMethod> parse_integration_method(std::string_view name) noexcept {
    if (name == "euler") return IntegrationMethod::Euler;
    if (name == "rk4") return IntegrationMethod::RK4;
    if (name == "rk45") return IntegrationMethod::RK45;
    return std::nullopt;
}

Status IntegrationConfig::validate() const {
    if (!positive_finite(dt)) return QorError::invalid_config("dt must be positive finite, got " + fmt_num(dt));
    if (n_substeps < 1) return QorError::invalid_config("n_substeps must be >= 1");
    if (!positive_finite(atol)) return QorError::invalid_config("atol must be positive finite, got " + fmt_num(atol));
    if (!positive_finite(rtol)) return QorError::invalid_config("rtol must be positive finite, got " + fmt_num(rtol));
    if (method == IntegrationMethod::RK45 && atol > rtol) return QorError::invalid_config("for RK45, rtol must be >= atol");
    return ok_status();
}

}  // namespace qor
