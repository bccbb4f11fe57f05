// The UPDE: N phase oscillators with natural frequencies, pairwise sine
// coupling through knm with phase lags alpha, and a common drive of strength
// zeta toward the phase psi,
//
//   dtheta_i/dt = omega_i + sum_j K[i*N+j] sin(theta_j - theta_i - alpha[i*N+j])
//                 + zeta sin(psi - theta_i),
//
// with K and alpha flat row-major N*N arrays (the row is the receiving
// oscillator), no 1/N factor and j = i included.
//
// UPDEStepper integrates it with the schemes of schemes.hpp, applies the
// coupling plasticity after every step when enabled and wraps the phases
// into [0, 2pi). It owns all scratch memory it needs for N oscillators, so
// steps never allocate; tables that depend only on the lags are prepared
// once per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "qor/engine/common.hpp"
#include "qor/engine/plasticity.hpp"
#include "qor/types/config.hpp"
#include "qor/types/error.hpp"

namespace qor {

// Right-hand side in its direct form: writes dtheta/dt into out and sin
// theta, cos theta into the buffers (all of length n = phases.size(); knm and
// alpha of n*n). all_alpha_zero selects the form that needs only
// multiply-adds per coupling entry; otherwise one sine is evaluated per
// entry. Rows run on the data-parallel pool in chunks of 64 when n >= 256.
void compute_derivative(std::span<const double> phases, std::span<const double> omegas, std::span<const double> knm,
                        double zeta, double psi, std::span<const double> alpha, bool all_alpha_zero,
                        std::span<double> sin_buffer, std::span<double> cos_buffer, std::span<double> out);

// Doppler correction of each oscillator's frequency from velocities v and
// coupling K: D_k = s * [sum_l ((v_k - v_l) |K_kl|) / (|v_k| + eps)] / [sum_l |K_kl|]
// over l != k with K_kl != 0, and 0 when that row has no such link. Fails
// with InvalidDimension "malformed Doppler inputs" on wrong lengths (out must
// hold n = velocities.size() values) and IntegrationDiverged "Doppler
// velocities/knm contain NaN/Inf" on non-finite inputs.
Status compute_doppler_term(std::span<const double> velocities, std::span<const double> knm, double strength,
                            double epsilon, std::span<double> out);

// Controls of the moving-frame run: the distance-decay law of the coupling
// and the Doppler correction.
struct MovingFrameControls {
    double spatial_k_base = 1.0;
    // 1: k exp(-d/L); 2: k / (d/L + 1)^p; 3: k / sqrt(d^2 + eps); any other: k / (d + 1).
    std::uint8_t spatial_decay_form = 0;
    double spatial_decay_exponent = 1.0;
    double spatial_decay_length_scale = 1.0;
    double spatial_epsilon = 1.0;
    double doppler_strength = 0.0;
    double doppler_epsilon = 1.0;
};

class UPDEStepper {
public:
    // Fails with InvalidDimension "n must be > 0", then with the
    // configuration's own InvalidConfig error; allocates only afterwards.
    static Result<UPDEStepper> create(std::size_t n, const IntegrationConfig& config);

    std::size_t n() const noexcept { return n_; }
    const IntegrationConfig& config() const noexcept { return config_; }
    // Step size the next RK45 step tries first.
    double last_dt() const noexcept { return last_dt_; }
    const PlasticitySettings& plasticity() const noexcept { return plasticity_; }

    Status set_plasticity(double lr, double decay, double modulator) { return plasticity_.set(lr, decay, modulator); }
    void disable_plasticity() noexcept { plasticity_.enabled = false; }

    // sin and cos of the state at which the derivative was last evaluated
    // (zeros before the first step).
    std::span<const double> sin_buffer() const noexcept { return {sin_, n_}; }
    std::span<const double> cos_buffer() const noexcept { return {cos_, n_}; }
    // Order parameter of the state the buffers describe; (0, 0) before the first step.
    OrderParameter order_parameter() const noexcept;

    // One step: phases (n) advanced in place and wrapped; knm (n*n) updated
    // in place when plasticity is enabled. A failing input check leaves
    // everything untouched.
    Status step(std::span<double> phases, std::span<const double> omegas, std::span<double> knm, double zeta,
                double psi, std::span<const double> alpha);

    // n_steps steps with the same inputs, stopping at the first error.
    Status run(std::span<double> phases, std::span<const double> omegas, std::span<double> knm, double zeta,
               double psi, std::span<const double> alpha, std::uint64_t n_steps);

    // n_steps steps, step t taking row t of omega_schedule (n_steps*n values) as its frequencies.
    Status run_omega_schedule(std::span<double> phases, std::span<const double> omega_schedule,
                              std::span<double> knm, double zeta, double psi, std::span<const double> alpha,
                              std::uint64_t n_steps);

    // As run_omega_schedule, each row's frequencies corrected by the Doppler
    // term of the matching row of velocity_schedule and the current knm.
    Status run_doppler_schedule(std::span<double> phases, std::span<const double> omega_schedule,
                                std::span<double> knm, double zeta, double psi, std::span<const double> alpha,
                                std::span<const double> velocity_schedule, double doppler_strength,
                                double doppler_epsilon, std::uint64_t n_steps);

    // Oscillators moving along an axis: every step the coupling is knm
    // weighted by the distance-decay law of the current positions (zero
    // diagonal), the frequencies get the Doppler term of that coupling, and
    // after the step the positions advance by dt * velocity. knm is never
    // changed; positions (n) is the caller's working copy.
    Status run_moving_frame_schedule(std::span<double> phases, std::span<double> positions,
                                     std::span<const double> omega_schedule, std::span<const double> knm, double zeta,
                                     double psi, std::span<const double> alpha,
                                     std::span<const double> velocity_schedule, const MovingFrameControls& controls,
                                     std::uint64_t n_steps);

private:
    struct FreeDeleter {
        void operator()(double* p) const noexcept { std::free(p); }
    };
    using Buffer = std::unique_ptr<double[], FreeDeleter>;

    // What one call (step, run or schedule run) knows about its inputs.
    struct Call {
        bool knm_volatile = false;  // the coupling may change between the steps of this call
        bool apply_plasticity = true;
        bool prepared = false;      // lag tables built for this call's alpha
        bool knm_finite = false;    // coupling checked finite and unchanged since
        bool alpha_finite = false;
        bool alpha_zero = false;    // every lag is +-0 (valid once alpha_finite)
        bool knm_dirty = false;     // coupling changed since the tables were built from it
    };

    UPDEStepper(std::size_t n, const IntegrationConfig& config, Buffer scratch);

    Status step_in_call(std::span<double> phases, std::span<const double> omegas, std::span<double> knm, double zeta,
                        double psi, std::span<const double> alpha, Call& call);
    void prepare(std::span<const double> knm, std::span<const double> alpha, const Call& call);
    void refresh_coupling(std::span<const double> knm);
    void evaluate(const double* theta, const double* omegas, double zeta, double psi, double* out);
    void integrate(std::span<double> phases, const double* omegas, double zeta, double psi);
    double* table(int index) const noexcept { return tables_.get() + static_cast<std::size_t>(index) * table_size_; }

    std::size_t n_;
    IntegrationConfig config_;
    double last_dt_;
    PlasticitySettings plasticity_;

    // Twelve zero-filled buffers of n: Euler derivative, k1..k7, candidate,
    // stage input, sin, cos.
    Buffer scratch_;
    double* deriv_;
    double* k_[7];
    double* candidate_;
    double* stage_;
    double* sin_;
    double* cos_;

    // Per-call coupling plan (see upde.cpp).
    bool transposed_ = false;  // small n: coupling tables stored column-major for row-parallel lanes
    bool zero_lag_ = true;
    bool volatile_ = false;
    std::size_t stride_ = 0;         // row length of the column-major tables
    const double* knm_ = nullptr;    // coupling of the step being integrated (row-major)
    Buffer tables_;
    std::size_t table_size_ = 0;     // doubles per table
    std::size_t table_capacity_ = 0; // doubles allocated in total
};

}  // namespace qor
