// What the supervisor sees of a running network: a snapshot of per-layer
// order parameters (UPDEState) and the outcome of a boundary observation
// (BoundaryState).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qor {

// One layer of the snapshot.
struct LayerState {
    double R = 0.0;    // order-parameter magnitude, meaningful in [0, 1]
    double psi = 0.0;  // mean phase, radians
};

// Per-channel metrics: carried by the snapshot, filled and read by nothing yet.
struct ChannelMetric {};

struct UPDEState {
    std::vector<LayerState> layers;  // index = layer number
    // Flattened n x n alignment (phase-locking value) between layers, row-major,
    // n = number of layers; may be empty.
    std::vector<double> cross_layer_alignment;
    std::vector<ChannelMetric> channel_metrics;
    double stability_proxy = 0.0;

    // nullopt when valid, otherwise the first failure: a layer whose R is not
    // finite or outside [0, 1] or whose psi is not finite (lowest index first),
    // then any non-finite alignment entry or stability proxy.
    std::optional<std::string> validate() const;

    // The snapshot every supervisor method builds from its arguments: layer i
    // gets R = layer_rs[i] and psi = psi_values[i] (0.0 beyond the end of
    // psi_values), the alignment is copied, and the stability proxy is the
    // mean R (summed in index order; 0.0 without layers). Nothing is checked.
    static UPDEState from_layer_rs(std::span<const double> layer_rs, std::span<const double> psi_values = {},
                                   std::span<const double> cross_layer_alignment = {});
};

// Mean of the layers' R values, summed in index order; 0.0 without layers.
double mean_layer_r(std::span<const LayerState> layers) noexcept;

// Result of a boundary observation: every violation message, and the same
// messages split by severity, each in processing order.
struct BoundaryState {
    std::vector<std::string> violations;
    std::vector<std::string> soft_violations;
    std::vector<std::string> hard_violations;
};

}  // namespace qor
