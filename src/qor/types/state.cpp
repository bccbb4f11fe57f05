#include "qor/types/state.hpp"

#include <cmath>

namespace qor {

double mean_layer_r(std::span<const LayerState> layers) noexcept {
    if (layers.empty()) return 0.0;
    double sum = 0.0;
    for (const LayerState& l : layers) sum += l.R;
    return sum / static_cast<double>(layers.size());
}

std::optional<std::string> UPDEState::validate() const {
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const LayerState& l = layers[i];
        // Written so that NaN fails every comparison and lands here.
        if (!(std::isfinite(l.R) && l.R >= 0.0 && l.R <= 1.0 && std::isfinite(l.psi)))
            return "layer[" + std::to_string(i) + "] has invalid r/psi values";
    }
    bool finite = std::isfinite(stability_proxy);
    for (double a : cross_layer_alignment) finite = finite && std::isfinite(a);
    if (!finite) return "cross-layer alignment and stability_proxy must be finite";
    return std::nullopt;
}

UPDEState UPDEState::from_layer_rs(std::span<const double> layer_rs, std::span<const double> psi_values,
                                   std::span<const double> cross_layer_alignment) {
    UPDEState s;
    s.layers.resize(layer_rs.size());
    for (std::size_t i = 0; i < layer_rs.size(); ++i)
        s.layers[i] = LayerState{layer_rs[i], i < psi_values.size() ? psi_values[i] : 0.0};
    s.cross_layer_alignment.assign(cross_layer_alignment.begin(), cross_layer_alignment.end());
    s.stability_proxy = mean_layer_r(s.layers);
    return s;
}

}  // namespace qor
