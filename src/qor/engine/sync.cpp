#include "qor/engine/sync.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "qor/engine/common.hpp"

namespace qor {

Result<double> plv(std::span<const double> a, std::span<const double> b) {
    if (a.size() != b.size())
        return QorError::invalid_dimension("PLV requires equal-length arrays, got " + std::to_string(a.size()) +
                                           " vs " + std::to_string(b.size()));
    const std::size_t n = a.size();
    if (n == 0) return 0.0;
    constexpr std::size_t block = 512;
    alignas(64) double diff[block];
    double sum_cos = 0.0;
    double sum_sin = 0.0;
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t m = std::min(block, n - start);
        for (std::size_t i = 0; i < m; ++i) diff[i] = a[start + i] - b[start + i];
        accumulate_cos_sin({diff, m}, sum_cos, sum_sin);
    }
    return order_parameter_from_sums(sum_cos, sum_sin, n).r;
}

}  // namespace qor
