#include "qor/engine/npe.hpp"

#include <algorithm>
#include <cmath>

#include "qor/engine/vmath.hpp"

namespace qor {

std::vector<double> phase_distance_matrix(std::span<const double> phases) {
    const std::size_t n = phases.size();
    std::vector<double> out(n * n, 0.0);
    if (n < 2) return out;
    const double* theta = phases.data();
    std::vector<double> sin_buf(n), cos_buf(n);
    double* __restrict s = sin_buf.data();
    double* __restrict c = cos_buf.data();
    // Upper triangle, one row at a time: the differences theta_j - theta_i of
    // row i are contiguous, so their sines, cosines and arctangents run on
    // SIMD lanes.
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double ti = theta[i];
        const std::size_t m = n - i - 1;
        double* __restrict row = out.data() + i * n + i + 1;
        const double* __restrict tj = theta + i + 1;
#pragma omp simd
        for (std::size_t k = 0; k < m; ++k) row[k] = tj[k] - ti;
#pragma omp simd
        for (std::size_t k = 0; k < m; ++k) s[k] = std::sin(row[k]);
#pragma omp simd
        for (std::size_t k = 0; k < m; ++k) c[k] = std::cos(row[k]);
#pragma omp simd
        for (std::size_t k = 0; k < m; ++k) row[k] = std::fabs(std::atan2(s[k], c[k]));
    }
    // Mirror into the lower triangle in tiles, so that the column-wise writes
    // stay within cache.
    constexpr std::size_t tile = 64;
    for (std::size_t ib = 0; ib < n; ib += tile) {
        const std::size_t ie = std::min(n, ib + tile);
        for (std::size_t jb = ib; jb < n; jb += tile) {
            const std::size_t je = std::min(n, jb + tile);
            for (std::size_t i = ib; i < ie; ++i)
                for (std::size_t j = std::max(jb, i + 1); j < je; ++j) out[j * n + i] = out[i * n + j];
        }
    }
    return out;
}

}  // namespace qor
