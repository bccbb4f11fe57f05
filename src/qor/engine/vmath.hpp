// Vector variants of the libm functions used in hot loops.
//
// glibc ships SIMD versions of sin, cos, exp, log, atan2 and pow (libmvec,
// within 4 ulp of the scalar functions) but only declares them under
// -ffast-math, which we never use because it breaks NaN and infinity checks.
// Redeclaring the functions with `declare simd` lets the compiler call the
// vector variants from `#pragma omp simd` loops at ordinary IEEE semantics.
// Every call to these functions in a translation unit that includes this
// header may become a vector call, so include it only in sources of hot loops.
//
// A loop that computes sin(x) and cos(x) of the same x is fused into scalar
// sincos by the compiler; keep such sines and cosines in separate loops.
#pragma once

#include <cmath>

#if defined(__GLIBC__) && defined(__x86_64__) && !defined(__clang__)
extern "C" {
#pragma omp declare simd notinbranch
double sin(double) noexcept;
#pragma omp declare simd notinbranch
double cos(double) noexcept;
#pragma omp declare simd notinbranch
double exp(double) noexcept;
#pragma omp declare simd notinbranch
double log(double) noexcept;
#pragma omp declare simd notinbranch
double atan2(double, double) noexcept;
#pragma omp declare simd notinbranch
double pow(double, double) noexcept;
}
#define QOR_HAVE_VECTOR_MATH 1
#endif

namespace qor::vmath {

// out[i] = sin(x[i]) for i < n (vectorised where available).
inline void sin_n(const double* __restrict x, double* __restrict out, std::size_t n) {
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) out[i] = std::sin(x[i]);
}

inline void cos_n(const double* __restrict x, double* __restrict out, std::size_t n) {
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) out[i] = std::cos(x[i]);
}

}  // namespace qor::vmath
