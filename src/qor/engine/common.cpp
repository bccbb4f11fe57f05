#include "qor/engine/common.hpp"

#include <algorithm>

#include "qor/engine/vmath.hpp"

namespace qor {

void accumulate_cos_sin(std::span<const double> angles, double& sum_cos, double& sum_sin) noexcept {
    // Sines and cosines are computed a block at a time on SIMD lanes; the sums
    // themselves stay strictly sequential so that they run in index order.
    constexpr std::size_t block = 512;
    alignas(64) double sines[block];
    alignas(64) double cosines[block];
    const std::size_t n = angles.size();
    // Local accumulators: the caller's references could alias the input, which
    // would force a store and reload on every addition.
    double c = sum_cos;
    double s = sum_sin;
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t m = std::min(block, n - start);
        vmath::cos_n(angles.data() + start, cosines, m);
        vmath::sin_n(angles.data() + start, sines, m);
        for (std::size_t i = 0; i < m; ++i) {
            c += cosines[i];
            s += sines[i];
        }
    }
    sum_cos = c;
    sum_sin = s;
}

OrderParameter order_parameter(std::span<const double> phases) noexcept {
    double sum_cos = 0.0;
    double sum_sin = 0.0;
    accumulate_cos_sin(phases, sum_cos, sum_sin);
    return order_parameter_from_sums(sum_cos, sum_sin, phases.size());
}

}  // namespace qor
