// Eight-lane double vectors (GCC/Clang vector extensions) for the hot loops
// of the phase steppers, and the finiteness scan built on them. The vectors
// lower to whatever the target offers (AVX-512, AVX2 pairs, SSE quads).
#pragma once

#include <cstddef>
#include <cstring>
#include <span>

namespace qor::simd {

using v8 = double __attribute__((vector_size(64)));
// Unaligned, aliasing view for loads and stores from caller memory.
using v8u = double __attribute__((vector_size(64), aligned(8), may_alias));

inline v8 loadu(const double* p) noexcept { return *reinterpret_cast<const v8u*>(p); }
inline void storeu(double* p, v8 v) noexcept { *reinterpret_cast<v8u*>(p) = v; }
inline v8 loada(const double* p) noexcept { return *reinterpret_cast<const v8*>(__builtin_assume_aligned(p, 64)); }

// Makes the compiler keep a loaded vector in a register. A vector used by
// several multiply-adds is otherwise often re-read from memory by each of
// them, and from caller arrays (16-byte aligned) every such read of 64 bytes
// straddles two cache lines.
inline void keep_in_register(v8& v) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    asm("" : "+v"(v));
#else
    (void)v;
#endif
}

// Lane sum in a fixed order.
inline double hsum(v8 v) noexcept { return ((v[0] + v[4]) + (v[2] + v[6])) + ((v[1] + v[5]) + (v[3] + v[7])); }

// True when no entry is NaN or infinite. x - x is NaN exactly for those, and
// NaN survives any sum; independent accumulators keep the scan at memory speed.
inline bool all_finite(const double* x, std::size_t n) noexcept {
    v8 a0{}, a1{}, a2{}, a3{};
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const v8 u0 = loadu(x + i), u1 = loadu(x + i + 8), u2 = loadu(x + i + 16), u3 = loadu(x + i + 24);
        a0 += u0 - u0;
        a1 += u1 - u1;
        a2 += u2 - u2;
        a3 += u3 - u3;
    }
    double t = 0.0;
    for (; i < n; ++i) t += x[i] - x[i];
    return hsum((a0 + a1) + (a2 + a3)) + t == 0.0;
}
inline bool all_finite(std::span<const double> x) noexcept { return all_finite(x.data(), x.size()); }

}  // namespace qor::simd
