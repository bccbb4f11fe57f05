// Conventions shared by every part of the engine: the full turn, wrapping of
// angles, the order parameter, and the seeded pseudo-random generator.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qor {

// 2*pi as a double.
inline constexpr double TWO_PI = 6.283185307179586;
inline constexpr double PI = 3.141592653589793;

// fmod into (-2pi, 2pi), then lifted by one turn when negative. Values come
// out in [0, 2pi); a tiny negative input can round up to exactly 2pi, and
// -0.0 stays -0.0.
inline double wrap_phase(double x) noexcept {
    x = std::fmod(x, TWO_PI);
    if (x < 0.0) x += TWO_PI;
    return x;
}

struct OrderParameter {
    double r = 0.0;
    double psi = 0.0;
};

// Order parameter from the sums of cos and sin over n phases: R is the
// length of the mean unit vector, clamped from above at 1 (NaN stays NaN),
// psi its angle wrapped into [0, 2pi). (0, 0) for n = 0.
inline OrderParameter order_parameter_from_sums(double sum_cos, double sum_sin, std::size_t n) noexcept {
    if (n == 0) return {};
    const double c = sum_cos / static_cast<double>(n);
    const double s = sum_sin / static_cast<double>(n);
    double r = std::sqrt(c * c + s * s);
    if (r > 1.0) r = 1.0;
    return {r, wrap_phase(std::atan2(s, c))};
}

// Adds cos and sin of every angle to the running sums, in index order.
void accumulate_cos_sin(std::span<const double> angles, double& sum_cos, double& sum_sin) noexcept;

// Order parameter of a set of phases; the cosines and sines are summed in
// index order, each sum starting at zero.
OrderParameter order_parameter(std::span<const double> phases) noexcept;

// Seeded 64-bit linear congruential generator. Draws are taken from the new
// state: 31 bits as s >> 33, 53 bits as s >> 11.
class Lcg {
public:
    explicit Lcg(std::uint64_t seed) noexcept : state_(seed) {}

    std::uint64_t advance() noexcept {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return state_;
    }
    std::uint32_t next_u31() noexcept { return static_cast<std::uint32_t>(advance() >> 33); }
    std::uint64_t next_u53() noexcept { return advance() >> 11; }
    // Uniform in [0, 1) from a 53-bit draw.
    double next_unit() noexcept { return static_cast<double>(next_u53()) * 0x1.0p-53; }
    std::uint64_t state() const noexcept { return state_; }

private:
    std::uint64_t state_;
};

}  // namespace qor
