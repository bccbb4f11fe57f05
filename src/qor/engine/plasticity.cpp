#include "qor/engine/plasticity.hpp"

#include <cmath>

#include "qor/engine/simd.hpp"

namespace qor {
namespace {

using simd::all_finite;
using simd::v8;

// Clamp at 0; NaN becomes 0 too.
inline double clamp_non_negative(double x) noexcept { return x > 0.0 ? x : 0.0; }

bool common_preconditions(std::span<const double> sin, std::span<const double> cos, double modulator,
                          double dt) noexcept {
    return cos.size() == sin.size() && std::isfinite(dt) && dt >= 0.0 && std::isfinite(modulator) &&
           all_finite(sin) && all_finite(cos);
}

bool dense_update(std::span<const double> sin, std::span<const double> cos, std::span<double> knm, double lr,
                  double decay, double modulator, double dt) noexcept {
    const std::size_t n = sin.size();
    const double g = std::exp(-decay * dt);
    const double rate = modulator * lr;
    const double* __restrict s = sin.data();
    const double* __restrict c = cos.data();
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i) {
        double* __restrict row = knm.data() + i * n;
        const double si = s[i];
        const double ci = c[i];
        // Finiteness of the results is tracked on the way (x - x is NaN for
        // infinities), so the steppers need not scan the coupling again.
        v8 check{};
        std::size_t j = 0;
        for (; j + 8 <= n; j += 8) {
            const v8 x = simd::loadu(row + j) * g + (rate * (simd::loadu(s + j) * si + simd::loadu(c + j) * ci)) * dt;
            const v8 v = x > 0.0 ? x : v8{};  // NaN fails the test and becomes 0
            simd::storeu(row + j, v);
            check += v - v;
        }
        double tail = 0.0;
        for (; j < n; ++j) {
            const double v = clamp_non_negative(row[j] * g + (rate * (s[j] * si + c[j] * ci)) * dt);
            row[j] = v;
            tail += v - v;
        }
        row[i] = 0.0;
        if (!(simd::hsum(check) + tail == 0.0)) finite = false;
    }
    // A diagonal overwritten by 0 may have been the only infinite entry.
    if (!finite) finite = all_finite(knm);
    return finite;
}

}  // namespace

Status PlasticitySettings::set(double lr_value, double decay_value, double modulator_value) {
    if (!(std::isfinite(lr_value) && lr_value >= 0.0 && std::isfinite(decay_value) && decay_value >= 0.0))
        return QorError::invalid_config("lr and decay must be finite and non-negative");
    enabled = true;
    lr = lr_value;
    decay = decay_value;
    modulator = modulator_value;
    return ok_status();
}

bool PlasticityModel::update(std::span<const double> sin, std::span<const double> cos, std::span<double> knm,
                             double lr, double decay, double modulator, double dt) {
    const std::size_t n = sin.size();
    if (n != 0 && knm.size() / n != n) return all_finite(knm);
    if (knm.size() != n * n) return all_finite(knm);
    if (!common_preconditions(sin, cos, modulator, dt) || !all_finite(knm)) return all_finite(knm);
    return dense_update(sin, cos, knm, lr, decay, modulator, dt);
}

bool PlasticityModel::update_finite_knm(std::span<const double> sin, std::span<const double> cos,
                                        std::span<double> knm, double lr, double decay, double modulator,
                                        double dt) {
    const std::size_t n = sin.size();
    if (knm.size() != n * n || (n != 0 && knm.size() / n != n)) return true;
    if (!common_preconditions(sin, cos, modulator, dt)) return true;
    return dense_update(sin, cos, knm, lr, decay, modulator, dt);
}

void PlasticityModel::update_sparse(std::span<const double> sin, std::span<const double> cos,
                                    std::span<const std::size_t> row_ptr, double lr, double decay, double modulator,
                                    double dt, std::span<const std::size_t> col_indices,
                                    std::span<double> knm_values) {
    const std::size_t n = sin.size();
    const std::size_t nnz = knm_values.size();
    if (row_ptr.size() != n + 1 || row_ptr[0] != 0 || row_ptr[n] != nnz || col_indices.size() != nnz) return;
    for (std::size_t j = 0; j < n; ++j)
        if (row_ptr[j + 1] < row_ptr[j]) return;
    for (std::size_t c : col_indices)
        if (c >= n) return;
    if (!common_preconditions(sin, cos, modulator, dt) || !all_finite(knm_values)) return;
    const double g = std::exp(-decay * dt);
    const double rate = modulator * lr;
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t e = row_ptr[j]; e < row_ptr[j + 1]; ++e) {
            const std::size_t c = col_indices[e];
            knm_values[e] = c == j ? 0.0
                                   : clamp_non_negative(knm_values[e] * g +
                                                        (rate * (sin[c] * sin[j] + cos[c] * cos[j])) * dt);
        }
    }
}

}  // namespace qor
