// Mean order parameter over a good and a bad set of layers, and the layer
// pairs that the cross-layer alignment marks as phase-locked.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "qor/types/state.hpp"

namespace qor {

// Mean R of the listed layers, taken in list order; indices beyond the
// layers are ignored, and 0.0 when nothing remains. No value is checked.
double mean_r(std::span<const LayerState> layers, std::span<const std::size_t> indices) noexcept;

// Pairs (i, j), i < j, in row order, whose upper-triangle alignment entry
// i*n + j is >= threshold. Empty when the threshold is not finite or the
// alignment does not hold exactly n*n entries.
std::vector<std::pair<std::size_t, std::size_t>> phase_locked_pairs(const UPDEState& state, double threshold);

class CoherenceMonitor {
public:
    // Repeated indices keep their first occurrence; a layer in both lists
    // belongs to the good set only.
    CoherenceMonitor(std::span<const std::size_t> good_layers, std::span<const std::size_t> bad_layers);

    const std::vector<std::size_t>& good() const noexcept { return good_; }
    const std::vector<std::size_t>& bad() const noexcept { return bad_; }

    double r_good(const UPDEState& state) const noexcept { return mean_r(state.layers, good_); }
    double r_bad(const UPDEState& state) const noexcept { return mean_r(state.layers, bad_); }

private:
    std::vector<std::size_t> good_;
    std::vector<std::size_t> bad_;
};

}  // namespace qor
