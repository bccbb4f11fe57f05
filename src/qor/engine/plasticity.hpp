// Hebbian coupling plasticity of the UPDE steppers: after every step each
// off-diagonal coupling decays by exp(-decay dt) and gains
// modulator * lr * cos(theta_i - theta_j) * dt, then is clamped at 0; the
// diagonal (self-links) is set to 0. The alignment is taken from the sine
// and cosine buffers of the last derivative evaluation.
#pragma once

#include <cstddef>
#include <span>

#include "qor/types/error.hpp"

namespace qor {

// The plasticity settings a stepper stores.
struct PlasticitySettings {
    bool enabled = false;
    double lr = 0.0;
    double decay = 0.0;
    double modulator = 1.0;

    // lr and decay finite and >= 0 (-0.0 accepted), else InvalidConfig and
    // nothing changes; the modulator is stored unchecked.
    Status set(double lr_value, double decay_value, double modulator_value);
};

struct PlasticityModel {
    // Dense update of the row-major n*n matrix knm, in place. Silently does
    // nothing unless knm has n*n entries (n = sin.size()), dt is finite and
    // >= 0, cos has n entries, the modulator is finite and every sine, cosine
    // and knm entry is finite. Returns false when it left a non-finite entry
    // (an overflowing learning term), true otherwise.
    static bool update(std::span<const double> sin, std::span<const double> cos, std::span<double> knm, double lr,
                       double decay, double modulator, double dt);

    // The same for a knm already known to be finite: the steppers check their
    // coupling before integrating, so the extra pass over it is skipped.
    static bool update_finite_knm(std::span<const double> sin, std::span<const double> cos, std::span<double> knm,
                                  double lr, double decay, double modulator, double dt);

    // CSR update of knm_values in place; the sparsity pattern is kept (links
    // driven to 0 stay stored). Silently does nothing unless sin and cos have
    // n entries, row_ptr has n + 1 non-decreasing offsets from 0 to
    // nnz = col_indices.size() = knm_values.size(), every column is < n, dt
    // is finite and >= 0, the modulator is finite and every sine, cosine and
    // value is finite.
    static void update_sparse(std::span<const double> sin, std::span<const double> cos,
                              std::span<const std::size_t> row_ptr, double lr, double decay, double modulator,
                              double dt, std::span<const std::size_t> col_indices, std::span<double> knm_values);
};

}  // namespace qor
