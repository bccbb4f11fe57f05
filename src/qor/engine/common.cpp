#include "qor/engine/common.hpp"

#include <algorithm>

#include "qor/engine/vmath.hpp"

namespace qor {

OrderParameter order_parameter(std::span<const double> phases) noexcept {
    const std::size_t n = phases.size();
    if (n == 0) return {};
    // Sines and cosines are computed a block at a time on SIMD lanes; the sums
    // themselves stay strictly sequential so that they run in index order.
    constexpr std::size_t block = 512;
    alignas(64) double sines[block];
    alignas(64) double cosines[block];
    double sum_cos = 0.0;
    double sum_sin = 0.0;
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t m = std::min(block, n - start);
        vmath::cos_n(phases.data() + start, cosines, m);
        vmath::sin_n(phases.data() + start, sines, m);
        for (std::size_t i = 0; i < m; ++i) {
            sum_cos += cosines[i];
            sum_sin += sines[i];
        }
    }
    return order_parameter_from_sums(sum_cos, sum_sin, n);
}

}  // namespace qor
