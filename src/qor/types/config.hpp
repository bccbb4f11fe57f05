// Integration settings shared by the dense, sparse, Stuart-Landau and sheaf
// steppers, with their validation.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "qor/types/error.hpp"

namespace qor {

enum class IntegrationMethod {
    Euler,
    RK4,
    RK45,
};

// "euler", "rk4", "rk45" (exact, case-sensitive); nullopt for anything else.
std::optional<IntegrationMethod> parse_integration_method(std::string_view name) noexcept;

struct IntegrationConfig {
    double dt = 0.01;                              // nominal step
    IntegrationMethod method = IntegrationMethod::Euler;
    std::uint32_t n_substeps = 1;                  // equal sub-steps of the fixed-step schemes
    double atol = 1e-6;                            // absolute tolerance of RK45
    double rtol = 1e-3;                            // relative tolerance of RK45

    // Checks dt, n_substeps, atol, rtol and (for RK45) rtol >= atol, in that
    // order, reporting the first failure as InvalidConfig.
    Status validate() const;
};

}  // namespace qor
