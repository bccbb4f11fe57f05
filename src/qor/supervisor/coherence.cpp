#include "qor/supervisor/coherence.hpp"

#include <cmath>
#include <unordered_set>

namespace qor {

double mean_r(std::span<const LayerState> layers, std::span<const std::size_t> indices) noexcept {
    double sum = 0.0;
    std::size_t count = 0;
    for (const std::size_t i : indices) {
        if (i >= layers.size()) continue;
        sum += layers[i].R;
        ++count;
    }
    return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

std::vector<std::pair<std::size_t, std::size_t>> phase_locked_pairs(const UPDEState& state, double threshold) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    const std::size_t n = state.layers.size();
    const std::vector<double>& plv = state.cross_layer_alignment;
    std::size_t nn = 0;
    if (!std::isfinite(threshold) || __builtin_mul_overflow(n, n, &nn) || plv.size() != nn) return out;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (plv[i * n + j] >= threshold) out.emplace_back(i, j);
    return out;
}

CoherenceMonitor::CoherenceMonitor(std::span<const std::size_t> good_layers, std::span<const std::size_t> bad_layers) {
    std::unordered_set<std::size_t> seen;
    seen.reserve(good_layers.size() + bad_layers.size());
    for (const std::size_t i : good_layers)
        if (seen.insert(i).second) good_.push_back(i);
    // `seen` now holds every good index, so a layer named in both lists stays good only.
    for (const std::size_t i : bad_layers)
        if (seen.insert(i).second) bad_.push_back(i);
}

}  // namespace qor
