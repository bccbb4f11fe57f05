// The integration schemes shared by the phase steppers: explicit Euler and
// classical RK4 with equal sub-steps, and one adaptive Dormand-Prince 5(4)
// step with its step-size controller.
//
// Each scheme advances a state vector y in place. The right-hand side is a
// callable f(const double* in, double* out) writing dy/dt at `in`; it may keep
// side results of its own (the steppers keep sin and cos of the last state it
// saw). All storage is the caller's scratch, so no scheme allocates.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qor::schemes {

// Dormand-Prince 5(4): stage coefficients, 5th-order weights b (propagated)
// and embedded 4th-order weights bs (error estimate only). The last stage is
// evaluated at the 5th-order solution.
namespace dp {
inline constexpr double a21 = 1.0 / 5.0;
inline constexpr double a31 = 3.0 / 40.0, a32 = 9.0 / 40.0;
inline constexpr double a41 = 44.0 / 45.0, a42 = -56.0 / 15.0, a43 = 32.0 / 9.0;
inline constexpr double a51 = 19372.0 / 6561.0, a52 = -25360.0 / 2187.0, a53 = 64448.0 / 6561.0,
                        a54 = -212.0 / 729.0;
inline constexpr double a61 = 9017.0 / 3168.0, a62 = -355.0 / 33.0, a63 = 46732.0 / 5247.0, a64 = 49.0 / 176.0,
                        a65 = -5103.0 / 18656.0;
inline constexpr double b1 = 35.0 / 384.0, b3 = 500.0 / 1113.0, b4 = 125.0 / 192.0, b5 = -2187.0 / 6784.0,
                        b6 = 11.0 / 84.0;
inline constexpr double bs1 = 5179.0 / 57600.0, bs3 = 7571.0 / 16695.0, bs4 = 393.0 / 640.0,
                        bs5 = -92097.0 / 339200.0, bs6 = 187.0 / 2100.0, bs7 = 1.0 / 40.0;
}  // namespace dp

// Step-size controller of the adaptive step.
namespace controller {
inline constexpr int max_attempts = 4;        // the last attempt is accepted whatever its error
inline constexpr double safety = 0.9;
inline constexpr double max_growth = 5.0;     // per accepted step
inline constexpr double min_shrink = 0.2;     // per rejected attempt
inline constexpr double max_step_factor = 10.0;  // proposals never exceed this many nominal steps

// Growth after an accepted attempt with error norm err <= 1.
inline double growth(double err) noexcept {
    if (err == 0.0) return max_growth;
    return std::fmin(safety * std::pow(err, -0.2), max_growth);
}
// Reduction after a rejected attempt (err > 1, possibly infinite).
inline double shrink(double err) noexcept { return std::fmax(safety * std::pow(err, -0.25), min_shrink); }
}  // namespace controller

// n_substeps Euler steps of length dt / n_substeps; k holds the derivative.
template <class F>
void euler(std::span<double> y, std::span<double> k, double dt, std::uint32_t n_substeps, F&& f) {
    const std::size_t n = y.size();
    const double h = dt / static_cast<double>(n_substeps);
    double* __restrict yp = y.data();
    double* __restrict kp = k.data();
    for (std::uint32_t s = 0; s < n_substeps; ++s) {
        f(static_cast<const double*>(yp), kp);
        for (std::size_t i = 0; i < n; ++i) yp[i] += h * kp[i];
    }
}

struct Rk4Buffers {
    double* k1;
    double* k2;
    double* k3;
    double* k4;
    double* stage;
};

// n_substeps classical RK4 steps of length dt / n_substeps. The update is
// formed as ((k1 + 2 k2) + 2 k3) + k4, times h/6.
template <class F>
void rk4(std::span<double> y, const Rk4Buffers& b, double dt, std::uint32_t n_substeps, F&& f) {
    const std::size_t n = y.size();
    const double h = dt / static_cast<double>(n_substeps);
    const double half = h / 2.0;
    const double sixth = h / 6.0;
    double* __restrict yp = y.data();
    double* __restrict k1 = b.k1;
    double* __restrict k2 = b.k2;
    double* __restrict k3 = b.k3;
    double* __restrict k4 = b.k4;
    double* __restrict st = b.stage;
    for (std::uint32_t s = 0; s < n_substeps; ++s) {
        f(static_cast<const double*>(yp), k1);
        for (std::size_t i = 0; i < n; ++i) st[i] = yp[i] + half * k1[i];
        f(static_cast<const double*>(st), k2);
        for (std::size_t i = 0; i < n; ++i) st[i] = yp[i] + half * k2[i];
        f(static_cast<const double*>(st), k3);
        for (std::size_t i = 0; i < n; ++i) st[i] = yp[i] + h * k3[i];
        f(static_cast<const double*>(st), k4);
        for (std::size_t i = 0; i < n; ++i) yp[i] += sixth * (((k1[i] + 2.0 * k2[i]) + 2.0 * k3[i]) + k4[i]);
    }
}

struct Rk45Buffers {
    double* k[7];
    double* candidate;  // the 5th-order solution
    double* stage;
};

// Error norm of one attempt: the largest |y5 - y4| / (atol + rtol max(|y|, |y5|)),
// starting at 0. NaN terms are ignored; a NaN scale falls back to |y|.
inline double rk45_error_norm(const double* y, const double* y5, const Rk45Buffers& b, double h, double atol,
                              double rtol, std::size_t n) noexcept {
    using namespace dp;
    const double* k1 = b.k[0];
    const double* k3 = b.k[2];
    const double* k4 = b.k[3];
    const double* k5 = b.k[4];
    const double* k6 = b.k[5];
    const double* k7 = b.k[6];
    double err = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double y4 = y[i] + h * (bs1 * k1[i] + bs3 * k3[i] + bs4 * k4[i] + bs5 * k5[i] + bs6 * k6[i] + bs7 * k7[i]);
        const double ay = std::fabs(y[i]);
        double scale = std::fmax(ay, std::fabs(y5[i]));
        if (std::isnan(scale)) scale = ay;
        const double term = std::fabs(y5[i] - y4) / (atol + rtol * scale);
        if (term > err) err = term;  // false for NaN
    }
    return err;
}

// One adaptive step starting from the proposal last_dt. Up to four attempts;
// an accepted attempt sets last_dt to min(h * growth, 10 dt); after the
// fourth rejection the last candidate is taken anyway and last_dt is the
// reduced step. Returns the step length actually advanced.
template <class F>
double rk45(std::span<double> y, const Rk45Buffers& b, double& last_dt, double dt, double atol, double rtol, F&& f) {
    using namespace dp;
    const std::size_t n = y.size();
    double* __restrict yp = y.data();
    double* __restrict k1 = b.k[0];
    double* __restrict k2 = b.k[1];
    double* __restrict k3 = b.k[2];
    double* __restrict k4 = b.k[3];
    double* __restrict k5 = b.k[4];
    double* __restrict k6 = b.k[5];
    double* __restrict k7 = b.k[6];
    double* __restrict y5 = b.candidate;
    double* __restrict st = b.stage;
    double h = last_dt;
    for (int attempt = 0;; ++attempt) {
        f(static_cast<const double*>(yp), k1);
        for (std::size_t i = 0; i < n; ++i) st[i] = yp[i] + h * (a21 * k1[i]);
        f(static_cast<const double*>(st), k2);
        for (std::size_t i = 0; i < n; ++i) st[i] = yp[i] + h * (a31 * k1[i] + a32 * k2[i]);
        f(static_cast<const double*>(st), k3);
        for (std::size_t i = 0; i < n; ++i) st[i] = yp[i] + h * (a41 * k1[i] + a42 * k2[i] + a43 * k3[i]);
        f(static_cast<const double*>(st), k4);
        for (std::size_t i = 0; i < n; ++i)
            st[i] = yp[i] + h * (a51 * k1[i] + a52 * k2[i] + a53 * k3[i] + a54 * k4[i]);
        f(static_cast<const double*>(st), k5);
        for (std::size_t i = 0; i < n; ++i)
            st[i] = yp[i] + h * (a61 * k1[i] + a62 * k2[i] + a63 * k3[i] + a64 * k4[i] + a65 * k5[i]);
        f(static_cast<const double*>(st), k6);
        for (std::size_t i = 0; i < n; ++i)
            y5[i] = yp[i] + h * (b1 * k1[i] + b3 * k3[i] + b4 * k4[i] + b5 * k5[i] + b6 * k6[i]);
        f(static_cast<const double*>(y5), k7);
        const double err = rk45_error_norm(yp, y5, b, h, atol, rtol, n);
        if (err <= 1.0) {
            for (std::size_t i = 0; i < n; ++i) yp[i] = y5[i];
            last_dt = std::fmin(h * controller::growth(err), controller::max_step_factor * dt);
            return h;
        }
        const double reduced = h * controller::shrink(err);
        if (attempt + 1 == controller::max_attempts) {
            // Give up on error control: keep this attempt's candidate, which
            // was computed with h, and propose the reduced step.
            for (std::size_t i = 0; i < n; ++i) yp[i] = y5[i];
            last_dt = reduced;
            return h;
        }
        h = reduced;
    }
}

}  // namespace qor::schemes
