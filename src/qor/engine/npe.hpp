// Pairwise phase distances.
#pragma once

#include <span>
#include <vector>

namespace qor {

// N*N row-major matrix of |atan2(sin d, cos d)| with d = theta_j - theta_i:
// the absolute phase difference wrapped to [0, pi]. Symmetric, zero diagonal.
std::vector<double> phase_distance_matrix(std::span<const double> phases);

}  // namespace qor
