// Synchrony of two phase series.
#pragma once

#include <span>

#include "qor/types/error.hpp"

namespace qor {

// Phase-locking value: the length of the mean unit vector of the differences
// a_k - b_k, clamped at 1; 0 for empty series. Unequal lengths are an
// InvalidDimension error.
Result<double> plv(std::span<const double> a, std::span<const double> b);

}  // namespace qor
