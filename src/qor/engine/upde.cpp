#include "qor/engine/upde.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "qor/engine/parallel.hpp"
#include "qor/engine/schemes.hpp"
#include "qor/engine/simd.hpp"
#include "qor/engine/vmath.hpp"

// How the coupling sum is evaluated.
//
// With s_j = sin theta_j and c_j = cos theta_j computed once per evaluation,
//   sum_j K_ij sin(theta_j - theta_i - a_ij) = c_i S_i - s_i C_i,
//   S_i = sum_j (A_ij s_j - B_ij c_j),  C_i = sum_j (A_ij c_j + B_ij s_j),
// where A = K cos(a) and B = K sin(a) elementwise; for zero lags A = K, B = 0
// and the sums need one multiply-add per entry. The lags do not change during
// a call, so their cosines and sines are prepared once per call and no
// transcendental function is evaluated per entry and evaluation.
//
// Large n (>= 256): rows are split into chunks of 64 for the pool; each row
// is summed in eight interleaved partial sums (one per SIMD lane), and several
// rows are summed together so that their independent add chains hide each
// other's latency and share the loads of sin and cos: the loop then runs at
// the speed of streaming the coefficients. Zero lags read K directly;
// constant lagged coupling reads the prepared A and B; a coupling that changes
// between steps (plasticity, moving frame) reads K and the prepared cos(a)
// and sin(a).
//
// Small n (< 256): the rows run sequentially and each row's sums accumulate
// in ascending j with a single accumulator. To keep that order and still use
// SIMD, the coefficients are kept column-major (entry (i, j) at j*stride + i),
// so that one vector holds the same column of eight consecutive rows and
// every lane is one row's accumulator.
//
// Every output element is computed the same way whatever thread runs it.

namespace qor {
namespace {

constexpr std::size_t kParallelMin = 256;
constexpr std::size_t kChunkRows = 64;
constexpr std::size_t kLanes = 8;

using simd::hsum;
using simd::loada;
using simd::loadu;
using simd::v8;

bool all_finite(std::span<const double> x) noexcept { return simd::all_finite(x); }

// Finiteness (and optionally all-zero-ness, -0.0 counting as zero) of an n*n
// input, scanned on the pool in blocks when it is large. Only booleans come
// out, so the result cannot depend on the number of threads.
struct Scan {
    bool finite;
    bool zero;
};

using mask8 = long __attribute__((vector_size(64)));

Scan scan_coefficients(std::span<const double> x, bool want_zero) noexcept {
    constexpr std::size_t block = std::size_t{1} << 15;
    const std::size_t n_blocks = (x.size() + block - 1) / block;
    std::atomic<bool> non_finite{false};
    std::atomic<bool> non_zero{false};
    parallel::for_chunks(n_blocks, 1, 8, [&](std::size_t b0, std::size_t b1) {
        for (std::size_t b = b0; b < b1; ++b) {
            const std::size_t begin = b * block;
            const std::size_t count = std::min(block, x.size() - begin);
            const double* p = x.data() + begin;
            if (!simd::all_finite(p, count)) non_finite.store(true, std::memory_order_relaxed);
            if (!want_zero) continue;
            mask8 any{};
            std::size_t i = 0;
            for (; i + 8 <= count; i += 8) any |= loadu(p + i) != v8{};
            bool nz = false;
            for (int l = 0; l < 8; ++l) nz = nz || any[l] != 0;
            for (; i < count; ++i) nz = nz || p[i] != 0.0;
            if (nz) non_zero.store(true, std::memory_order_relaxed);
        }
    });
    return {!non_finite.load(), want_zero && !non_zero.load()};
}

// size == n*n, without overflow.
bool is_square_of(std::size_t size, std::size_t n) noexcept { return size % n == 0 && size / n == n; }

std::string u128_text(unsigned __int128 v) {
    if (v == 0) return "0";
    char buf[48];
    int pos = 48;
    while (v) {
        buf[--pos] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    }
    return std::string(buf + pos, buf + 48);
}

inline std::size_t round_up(std::size_t x, std::size_t m) noexcept { return (x + m - 1) / m * m; }

// The drive term: ds = zeta sin psi, dc = zeta cos psi; omitted for zeta = +-0.
struct Drive {
    bool on;
    double ds;
    double dc;
};
inline Drive make_drive(double zeta, double psi) noexcept {
    if (zeta == 0.0) return {false, 0.0, 0.0};
    return {true, zeta * std::sin(psi), zeta * std::cos(psi)};
}

inline double finish_row(double ci, double si, double sum_s, double sum_c, double omega, const Drive& d) noexcept {
    double out = (ci * sum_s - si * sum_c) + omega;
    if (d.on) out += ci * d.ds - si * d.dc;
    return out;
}

// ---- row-major kernels (large n) --------------------------------------------

// Sums of R consecutive rows at once. Every row's sums are eight lane-wise
// partial sums over ascending j, combined in a fixed order, plus scalar
// partials for the last n % 8 columns: the value of a row does not depend on
// how many rows are processed together. Sharing the loads of sin and cos
// between rows keeps the loop at the speed of streaming the coefficients.
struct RowSums {
    double s;
    double c;
};

// Zero lags: S = sum K s, C = sum K c.
template <int R>
inline void rows_zero_lag(const double* __restrict k, std::size_t n, const double* __restrict s,
                          const double* __restrict c, RowSums* __restrict out) noexcept {
    v8 as[R], ac[R];
    for (int r = 0; r < R; ++r) as[r] = ac[r] = v8{};
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const v8 x = loadu(s + j);
        const v8 y = loadu(c + j);
        for (int r = 0; r < R; ++r) {
            v8 kk = loadu(k + r * n + j);
            simd::keep_in_register(kk);
            as[r] += kk * x;
            ac[r] += kk * y;
        }
    }
    for (int r = 0; r < R; ++r) {
        const double* kr = k + r * n;
        double ts = 0.0, tc = 0.0;
        for (std::size_t q = j; q < n; ++q) {
            ts += kr[q] * s[q];
            tc += kr[q] * c[q];
        }
        out[r] = {hsum(as[r]) + ts, hsum(ac[r]) + tc};
    }
}

// Lags with A = K cos(a), B = K sin(a) given (Volatile = false), or with K and
// cos(a), sin(a) given (Volatile = true, for a coupling that changes between
// steps): S = sum (A s - B c), C = sum (A c + B s).
template <int R, bool Volatile>
inline void rows_lagged(const double* __restrict k, const double* __restrict ta, const double* __restrict tb,
                        std::size_t n, const double* __restrict s, const double* __restrict c,
                        RowSums* __restrict out) noexcept {
    v8 as[R], ac[R];
    for (int r = 0; r < R; ++r) as[r] = ac[r] = v8{};
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const v8 x = loadu(s + j);
        const v8 y = loadu(c + j);
        for (int r = 0; r < R; ++r) {
            v8 a = loadu(ta + r * n + j);
            v8 b = loadu(tb + r * n + j);
            if constexpr (Volatile) {
                v8 kk = loadu(k + r * n + j);
                simd::keep_in_register(kk);
                a = kk * a;
                b = kk * b;
            }
            simd::keep_in_register(a);
            simd::keep_in_register(b);
            as[r] += a * x - b * y;
            ac[r] += a * y + b * x;
        }
    }
    for (int r = 0; r < R; ++r) {
        double ts = 0.0, tc = 0.0;
        for (std::size_t q = j; q < n; ++q) {
            double a = ta[r * n + q];
            double b = tb[r * n + q];
            if constexpr (Volatile) {
                a = k[r * n + q] * a;
                b = k[r * n + q] * b;
            }
            ts += a * s[q] - b * c[q];
            tc += a * c[q] + b * s[q];
        }
        out[r] = {hsum(as[r]) + ts, hsum(ac[r]) + tc};
    }
}

// ---- column-major kernels (small n) ----------------------------------------

// Rows [i0, i0 + 8 NV) of the coupling sums from column-major coefficients
// with row stride `stride`: one accumulator per row and sum, ascending j.
template <int NV, bool Lagged>
inline void column_block(const double* __restrict ta, const double* __restrict tb, std::size_t stride,
                         std::size_t i0, const double* __restrict s, const double* __restrict c, std::size_t n,
                         double* __restrict sum_s, double* __restrict sum_c) noexcept {
    v8 as[NV], ac[NV];
    for (int v = 0; v < NV; ++v) {
        as[v] = v8{};
        ac[v] = v8{};
    }
    for (std::size_t j = 0; j < n; ++j) {
        const double sj = s[j];
        const double cj = c[j];
        const double* pa = ta + j * stride + i0;
        if constexpr (Lagged) {
            const double* pb = tb + j * stride + i0;
            for (int v = 0; v < NV; ++v) {
                const v8 a = loada(pa + 8 * v);
                const v8 b = loada(pb + 8 * v);
                const v8 term_s = a * sj - b * cj;
                const v8 term_c = a * cj + b * sj;
                as[v] += term_s;
                ac[v] += term_c;
            }
        } else {
            for (int v = 0; v < NV; ++v) {
                const v8 a = loada(pa + 8 * v);
                as[v] += a * sj;
                ac[v] += a * cj;
            }
        }
    }
    for (int v = 0; v < NV; ++v) {
        std::memcpy(sum_s + 8 * v, &as[v], sizeof(v8));
        std::memcpy(sum_c + 8 * v, &ac[v], sizeof(v8));
    }
}

template <bool Lagged>
void column_sums(const double* ta, const double* tb, std::size_t stride, const double* s, const double* c,
                 std::size_t n, double* sum_s, double* sum_c) noexcept {
    std::size_t i0 = 0;
    for (; i0 + 32 <= stride; i0 += 32)
        column_block<4, Lagged>(ta, tb, stride, i0, s, c, n, sum_s + i0, sum_c + i0);
    for (; i0 < stride; i0 += 8) column_block<1, Lagged>(ta, tb, stride, i0, s, c, n, sum_s + i0, sum_c + i0);
}

// ---- moving-frame weights --------------------------------------------------

// K_eff = w(|x_i - x_j|) K for i != j, 0 on the diagonal; `d` is scratch of n.
void build_moving_frame_coupling(std::span<const double> x, std::span<const double> knm,
                                 const MovingFrameControls& m, double* __restrict d, double* __restrict k_eff) {
    const std::size_t n = x.size();
    const double kb = m.spatial_k_base;
    const double len = m.spatial_decay_length_scale;
    const double p = m.spatial_decay_exponent;
    const double eps = m.spatial_epsilon;
    const double* __restrict xp = x.data();
    for (std::size_t i = 0; i < n; ++i) {
        const double xi = xp[i];
        for (std::size_t j = 0; j < n; ++j) d[j] = std::fabs(xi - xp[j]);
        switch (m.spatial_decay_form) {
            case 1:
#pragma omp simd
                for (std::size_t j = 0; j < n; ++j) d[j] = kb * std::exp(-(d[j] / len));
                break;
            case 2:
#pragma omp simd
                for (std::size_t j = 0; j < n; ++j) d[j] = kb / std::pow(d[j] / len + 1.0, p);
                break;
            case 3:
#pragma omp simd
                for (std::size_t j = 0; j < n; ++j) d[j] = kb / std::sqrt(d[j] * d[j] + eps);
                break;
            default:
                for (std::size_t j = 0; j < n; ++j) d[j] = kb / (d[j] + 1.0);
                break;
        }
        const double* __restrict krow = knm.data() + i * n;
        double* __restrict erow = k_eff + i * n;
        for (std::size_t j = 0; j < n; ++j) erow[j] = d[j] * krow[j];
        erow[i] = 0.0;
    }
}

void wrap_all(std::span<double> phases) noexcept {
    for (double& x : phases) x = wrap_phase(x);
}

QorError dimension_error(std::size_t n, std::span<const double> phases, std::span<const double> omegas) {
    return QorError::invalid_dimension("expected " + std::to_string(n) + ", got phases=" +
                                       std::to_string(phases.size()) + " omegas=" + std::to_string(omegas.size()));
}

QorError coupling_dimension_error(std::size_t n, std::size_t knm_size, std::size_t alpha_size) {
    const unsigned __int128 nn = static_cast<unsigned __int128>(n) * n;
    return QorError::invalid_dimension("expected " + u128_text(nn) + "=" + std::to_string(n) + "*" +
                                       std::to_string(n) + ", got knm=" + std::to_string(knm_size) +
                                       " alpha=" + std::to_string(alpha_size));
}

// n_steps * n, or false when it does not fit in a size.
bool schedule_size(std::uint64_t n_steps, std::size_t n, std::size_t& out) noexcept {
    return !__builtin_mul_overflow(n_steps, n, &out);
}

}  // namespace

// ---- direct right-hand side --------------------------------------------------

void compute_derivative(std::span<const double> phases, std::span<const double> omegas, std::span<const double> knm,
                        double zeta, double psi, std::span<const double> alpha, bool all_alpha_zero,
                        std::span<double> sin_buffer, std::span<double> cos_buffer, std::span<double> out) {
    const std::size_t n = phases.size();
    const double* th = phases.data();
    vmath::sin_n(th, sin_buffer.data(), n);
    vmath::cos_n(th, cos_buffer.data(), n);
    const double* s = sin_buffer.data();
    const double* c = cos_buffer.data();
    const Drive drive = make_drive(zeta, psi);
    const bool parallel = n >= kParallelMin;
    parallel::for_chunks(n, kChunkRows, kParallelMin, [&](std::size_t begin, std::size_t end) {
        constexpr std::size_t block = 256;
        alignas(64) double arg[block];
        alignas(64) double sines[block];
        for (std::size_t i = begin; i < end; ++i) {
            const double* krow = knm.data() + i * n;
            double coupling;
            if (all_alpha_zero) {
                double sum_s, sum_c;
                if (parallel) {
                    RowSums r;
                    rows_zero_lag<1>(krow, n, s, c, &r);
                    sum_s = r.s;
                    sum_c = r.c;
                } else {
                    sum_s = 0.0;
                    sum_c = 0.0;
                    for (std::size_t j = 0; j < n; ++j) {
                        sum_s += krow[j] * s[j];
                        sum_c += krow[j] * c[j];
                    }
                }
                coupling = c[i] * sum_s - s[i] * sum_c;
            } else {
                const double* arow = alpha.data() + i * n;
                const double ti = th[i];
                coupling = 0.0;
                for (std::size_t j0 = 0; j0 < n; j0 += block) {
                    const std::size_t m = std::min(block, n - j0);
                    for (std::size_t k = 0; k < m; ++k) arg[k] = (th[j0 + k] - ti) - arow[j0 + k];
                    vmath::sin_n(arg, sines, m);
                    for (std::size_t k = 0; k < m; ++k) coupling += krow[j0 + k] * sines[k];
                }
            }
            double v = coupling + omegas[i];
            if (drive.on) v += c[i] * drive.ds - s[i] * drive.dc;
            out[i] = v;
        }
    });
}

// ---- Doppler term ----------------------------------------------------------------

Status compute_doppler_term(std::span<const double> velocities, std::span<const double> knm, double strength,
                            double epsilon, std::span<double> out) {
    const std::size_t n = velocities.size();
    if (out.size() != n || (n == 0 ? !knm.empty() : !is_square_of(knm.size(), n)))
        return QorError::invalid_dimension("malformed Doppler inputs");
    if (!all_finite(velocities) || !all_finite(knm))
        return QorError::integration_diverged("Doppler velocities/knm contain NaN/Inf");
    const double* v = velocities.data();
    for (std::size_t k = 0; k < n; ++k) {
        const double* row = knm.data() + k * n;
        const double vk = v[k];
        const double soft = std::fabs(vk) + epsilon;
        double num = 0.0;
        double den = 0.0;
        for (std::size_t l = 0; l < n; ++l) {
            if (l == k || row[l] == 0.0) continue;
            const double w = std::fabs(row[l]);
            num += ((vk - v[l]) * w) / soft;
            den += w;
        }
        out[k] = den > 0.0 ? (num * strength) / den : 0.0;
    }
    return ok_status();
}

// ---- stepper -------------------------------------------------------------------

Result<UPDEStepper> UPDEStepper::create(std::size_t n, const IntegrationConfig& config) {
    if (n == 0) return QorError::invalid_dimension("n must be > 0");
    QOR_TRY(config.validate());
    std::size_t count = 0;
    if (__builtin_mul_overflow(n, std::size_t{12}, &count)) throw std::bad_alloc();
    // calloc: zero pages are only touched when used.
    Buffer scratch(static_cast<double*>(std::calloc(count, sizeof(double))));
    if (!scratch) throw std::bad_alloc();
    return UPDEStepper(n, config, std::move(scratch));
}

UPDEStepper::UPDEStepper(std::size_t n, const IntegrationConfig& config, Buffer scratch)
    : n_(n), config_(config), last_dt_(config.dt), scratch_(std::move(scratch)) {
    double* p = scratch_.get();
    deriv_ = p;
    for (int s = 0; s < 7; ++s) k_[s] = p + static_cast<std::size_t>(1 + s) * n;
    candidate_ = p + 8 * n;
    stage_ = p + 9 * n;
    sin_ = p + 10 * n;
    cos_ = p + 11 * n;
}

OrderParameter UPDEStepper::order_parameter() const noexcept {
    double sum_s = -0.0;
    double sum_c = -0.0;
    for (std::size_t i = 0; i < n_; ++i) sum_s += sin_[i];
    for (std::size_t i = 0; i < n_; ++i) sum_c += cos_[i];
    return order_parameter_from_sums(sum_c, sum_s, n_);
}

void UPDEStepper::prepare(std::span<const double> knm, std::span<const double> alpha, const Call& call) {
    const std::size_t n = n_;
    zero_lag_ = call.alpha_zero;
    volatile_ = call.knm_volatile;
    transposed_ = n < kParallelMin;
    int tables = 0;
    if (transposed_) {
        stride_ = round_up(n, kLanes);
        table_size_ = n * stride_;
        tables = zero_lag_ ? 1 : 4;  // K^T, or A^T, B^T, cos(a)^T, sin(a)^T
    } else {
        stride_ = n;
        table_size_ = round_up(n * n, kLanes);
        tables = zero_lag_ ? 0 : 2;  // A, B, or cos(a), sin(a) when K changes
    }
    const std::size_t need = table_size_ * static_cast<std::size_t>(tables);
    if (need > table_capacity_) {
        tables_.reset();
        table_capacity_ = 0;
        void* p = std::aligned_alloc(64, need * sizeof(double));
        if (!p) throw std::bad_alloc();
        tables_.reset(static_cast<double*>(p));
        table_capacity_ = need;
    }
    if (zero_lag_) {
        if (transposed_) refresh_coupling(knm);
        return;
    }
    if (transposed_) {
        // cos(a) and sin(a) column-major; the padding rows stay 0.
        double* ca = table(2);
        double* sa = table(3);
        std::memset(ca, 0, 2 * table_size_ * sizeof(double));
        for (std::size_t i = 0; i < n; ++i) {
            const double* arow = alpha.data() + i * n;
            vmath::cos_n(arow, stage_, n);
            vmath::sin_n(arow, candidate_, n);
            for (std::size_t j = 0; j < n; ++j) {
                ca[j * stride_ + i] = stage_[j];
                sa[j * stride_ + i] = candidate_[j];
            }
        }
        refresh_coupling(knm);
        return;
    }
    double* ta = table(0);
    double* tb = table(1);
    const bool multiply = !volatile_;
    parallel::for_chunks(n, kChunkRows, kParallelMin, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const double* arow = alpha.data() + i * n;
            double* a = ta + i * n;
            double* b = tb + i * n;
            vmath::cos_n(arow, a, n);
            vmath::sin_n(arow, b, n);
            if (multiply) {
                const double* krow = knm.data() + i * n;
                for (std::size_t j = 0; j < n; ++j) {
                    a[j] *= krow[j];
                    b[j] *= krow[j];
                }
            }
        }
    });
}

void UPDEStepper::refresh_coupling(std::span<const double> knm) {
    if (!transposed_) return;  // the row-major forms read K itself
    const std::size_t n = n_;
    if (zero_lag_) {
        double* kt = table(0);
        std::memset(kt, 0, table_size_ * sizeof(double));
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) kt[j * stride_ + i] = knm[i * n + j];
        return;
    }
    double* at = table(0);
    double* bt = table(1);
    const double* ca = table(2);
    const double* sa = table(3);
    std::memset(at, 0, 2 * table_size_ * sizeof(double));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double k = knm[i * n + j];
            at[j * stride_ + i] = k * ca[j * stride_ + i];
            bt[j * stride_ + i] = k * sa[j * stride_ + i];
        }
    }
}

void UPDEStepper::evaluate(const double* theta, const double* omegas, double zeta, double psi, double* out) {
    const std::size_t n = n_;
    // Separate loops: one loop with both would become scalar sincos calls.
    vmath::sin_n(theta, sin_, n);
    vmath::cos_n(theta, cos_, n);
    const double* s = sin_;
    const double* c = cos_;
    const Drive drive = make_drive(zeta, psi);
    if (transposed_) {
        // n < 256: sums of all rows at once (padding lanes compute zeros).
        alignas(64) double sum_s[kParallelMin];
        alignas(64) double sum_c[kParallelMin];
        if (zero_lag_)
            column_sums<false>(table(0), nullptr, stride_, s, c, n, sum_s, sum_c);
        else
            column_sums<true>(table(0), table(1), stride_, s, c, n, sum_s, sum_c);
        for (std::size_t i = 0; i < n; ++i) out[i] = finish_row(c[i], s[i], sum_s[i], sum_c[i], omegas[i], drive);
        return;
    }
    const double* knm = knm_;
    const double* ta = zero_lag_ ? nullptr : table(0);
    const double* tb = zero_lag_ ? nullptr : table(1);
    const bool zero_lag = zero_lag_;
    const bool vol = volatile_;
    parallel::for_chunks(n, kChunkRows, kParallelMin, [=](std::size_t begin, std::size_t end) {
        RowSums r[8];
        std::size_t i = begin;
        auto finish = [&](std::size_t first, int count) {
            for (int q = 0; q < count; ++q) {
                const std::size_t row = first + static_cast<std::size_t>(q);
                out[row] = finish_row(c[row], s[row], r[q].s, r[q].c, omegas[row], drive);
            }
        };
        if (zero_lag) {
            for (; i + 8 <= end; i += 8) {
                rows_zero_lag<8>(knm + i * n, n, s, c, r);
                finish(i, 8);
            }
            for (; i < end; ++i) {
                rows_zero_lag<1>(knm + i * n, n, s, c, r);
                finish(i, 1);
            }
        } else if (vol) {
            for (; i + 4 <= end; i += 4) {
                rows_lagged<4, true>(knm + i * n, ta + i * n, tb + i * n, n, s, c, r);
                finish(i, 4);
            }
            for (; i < end; ++i) {
                rows_lagged<1, true>(knm + i * n, ta + i * n, tb + i * n, n, s, c, r);
                finish(i, 1);
            }
        } else {
            for (; i + 4 <= end; i += 4) {
                rows_lagged<4, false>(nullptr, ta + i * n, tb + i * n, n, s, c, r);
                finish(i, 4);
            }
            for (; i < end; ++i) {
                rows_lagged<1, false>(nullptr, ta + i * n, tb + i * n, n, s, c, r);
                finish(i, 1);
            }
        }
    });
}

void UPDEStepper::integrate(std::span<double> phases, const double* omegas, double zeta, double psi) {
    auto f = [&](const double* in, double* out) { evaluate(in, omegas, zeta, psi, out); };
    switch (config_.method) {
        case IntegrationMethod::Euler:
            schemes::euler(phases, {deriv_, n_}, config_.dt, config_.n_substeps, f);
            break;
        case IntegrationMethod::RK4:
            schemes::rk4(phases, schemes::Rk4Buffers{k_[0], k_[1], k_[2], k_[3], stage_}, config_.dt,
                         config_.n_substeps, f);
            break;
        case IntegrationMethod::RK45: {
            schemes::Rk45Buffers b{{k_[0], k_[1], k_[2], k_[3], k_[4], k_[5], k_[6]}, candidate_, stage_};
            schemes::rk45(phases, b, last_dt_, config_.dt, config_.atol, config_.rtol, f);
            break;
        }
    }
}

Status UPDEStepper::step_in_call(std::span<double> phases, std::span<const double> omegas, std::span<double> knm,
                                 double zeta, double psi, std::span<const double> alpha, Call& call) {
    const std::size_t n = n_;
    if (phases.size() != n || omegas.size() != n) return dimension_error(n, phases, omegas);
    if (!is_square_of(knm.size(), n) || !is_square_of(alpha.size(), n))
        return coupling_dimension_error(n, knm.size(), alpha.size());
    if (!all_finite(phases)) return QorError::integration_diverged("input phases contain NaN/Inf");
    // Within a call the coupling changes only through this stepper and the
    // lags not at all, so each is scanned once and then tracked.
    bool finite = all_finite(omegas) && (call.knm_finite || scan_coefficients(knm, false).finite);
    if (finite && !call.alpha_finite) {
        const Scan a = scan_coefficients(alpha, true);
        finite = a.finite;
        call.alpha_zero = a.zero;
    }
    if (!finite || !std::isfinite(plasticity_.modulator))
        return QorError::integration_diverged("omegas/knm/alpha/modulator contain NaN/Inf");
    call.knm_finite = true;
    call.alpha_finite = true;
    if (!std::isfinite(zeta)) return QorError::integration_diverged("zeta is NaN/Inf");
    if (!std::isfinite(psi)) return QorError::integration_diverged("psi is NaN/Inf");

    if (!call.prepared) {
        prepare(knm, alpha, call);
        call.prepared = true;
        call.knm_dirty = false;
    } else if (call.knm_dirty) {
        refresh_coupling(knm);
        call.knm_dirty = false;
    }
    knm_ = knm.data();
    integrate(phases, omegas.data(), zeta, psi);
    if (plasticity_.enabled && call.apply_plasticity) {
        call.knm_finite = PlasticityModel::update_finite_knm(sin_buffer(), cos_buffer(), knm, plasticity_.lr,
                                                             plasticity_.decay, plasticity_.modulator, config_.dt);
        call.knm_dirty = true;
    }
    wrap_all(phases);
    return ok_status();
}

Status UPDEStepper::step(std::span<double> phases, std::span<const double> omegas, std::span<double> knm,
                         double zeta, double psi, std::span<const double> alpha) {
    Call call;
    call.knm_volatile = plasticity_.enabled;
    return step_in_call(phases, omegas, knm, zeta, psi, alpha, call);
}

Status UPDEStepper::run(std::span<double> phases, std::span<const double> omegas, std::span<double> knm, double zeta,
                        double psi, std::span<const double> alpha, std::uint64_t n_steps) {
    Call call;
    call.knm_volatile = plasticity_.enabled;
    for (std::uint64_t t = 0; t < n_steps; ++t) QOR_TRY(step_in_call(phases, omegas, knm, zeta, psi, alpha, call));
    return ok_status();
}

Status UPDEStepper::run_omega_schedule(std::span<double> phases, std::span<const double> omega_schedule,
                                       std::span<double> knm, double zeta, double psi, std::span<const double> alpha,
                                       std::uint64_t n_steps) {
    const std::size_t n = n_;
    std::size_t total = 0;
    if (!schedule_size(n_steps, n, total)) return QorError::invalid_dimension("omega schedule is too large");
    if (omega_schedule.size() != total)
        return QorError::invalid_dimension("expected omega_schedule length " + std::to_string(total) + ", got " +
                                           std::to_string(omega_schedule.size()));
    Call call;
    call.knm_volatile = plasticity_.enabled;
    for (std::uint64_t t = 0; t < n_steps; ++t)
        QOR_TRY(step_in_call(phases, omega_schedule.subspan(t * n, n), knm, zeta, psi, alpha, call));
    return ok_status();
}

Status UPDEStepper::run_doppler_schedule(std::span<double> phases, std::span<const double> omega_schedule,
                                         std::span<double> knm, double zeta, double psi,
                                         std::span<const double> alpha, std::span<const double> velocity_schedule,
                                         double doppler_strength, double doppler_epsilon, std::uint64_t n_steps) {
    const std::size_t n = n_;
    if (!std::isfinite(doppler_strength) || !std::isfinite(doppler_epsilon) || !(doppler_epsilon > 0.0))
        return QorError::integration_diverged("invalid Doppler strength or epsilon");
    std::size_t total = 0;
    if (!schedule_size(n_steps, n, total)) return QorError::invalid_dimension("Doppler schedule is too large");
    if (omega_schedule.size() != total || velocity_schedule.size() != total)
        return QorError::invalid_dimension("expected Doppler schedule length " + std::to_string(total) +
                                           ", got omega=" + std::to_string(omega_schedule.size()) +
                                           " velocity=" + std::to_string(velocity_schedule.size()));
    std::vector<double> doppler(n, 0.0);
    std::vector<double> omega_eff(n, 0.0);
    Call call;
    call.knm_volatile = plasticity_.enabled;
    for (std::uint64_t t = 0; t < n_steps; ++t) {
        QOR_TRY(compute_doppler_term(velocity_schedule.subspan(t * n, n), knm, doppler_strength, doppler_epsilon,
                                     doppler));
        // The Doppler term has just checked every coupling entry.
        call.knm_finite = true;
        const double* w = omega_schedule.data() + t * n;
        for (std::size_t k = 0; k < n; ++k) omega_eff[k] = w[k] + doppler[k];
        QOR_TRY(step_in_call(phases, omega_eff, knm, zeta, psi, alpha, call));
    }
    return ok_status();
}

Status UPDEStepper::run_moving_frame_schedule(std::span<double> phases, std::span<double> positions,
                                              std::span<const double> omega_schedule, std::span<const double> knm,
                                              double zeta, double psi, std::span<const double> alpha,
                                              std::span<const double> velocity_schedule,
                                              const MovingFrameControls& m, std::uint64_t n_steps) {
    const std::size_t n = n_;
    if (phases.size() != n || positions.size() != n)
        return QorError::invalid_dimension("moving-frame phases/positions shape mismatch");
    if (!is_square_of(knm.size(), n) || !is_square_of(alpha.size(), n))
        return QorError::invalid_dimension("moving-frame knm/alpha shape mismatch");
    auto positive_finite = [](double x) { return std::isfinite(x) && x > 0.0; };
    if (!(std::isfinite(m.spatial_k_base) && m.spatial_k_base >= 0.0) || !positive_finite(m.spatial_decay_exponent) ||
        !positive_finite(m.spatial_decay_length_scale) || !positive_finite(m.spatial_epsilon) ||
        !std::isfinite(m.doppler_strength) || !positive_finite(m.doppler_epsilon))
        return QorError::integration_diverged("invalid moving-frame controls");
    std::size_t total = 0;
    if (!schedule_size(n_steps, n, total)) return QorError::invalid_dimension("moving-frame schedule is too large");
    if (omega_schedule.size() != total || velocity_schedule.size() != total)
        return QorError::invalid_dimension("expected moving-frame schedule length " + std::to_string(total) +
                                           ", got omega=" + std::to_string(omega_schedule.size()) +
                                           " velocity=" + std::to_string(velocity_schedule.size()));
    if (!all_finite(positions) || !scan_coefficients(knm, false).finite)
        return QorError::integration_diverged("moving-frame positions/knm contain NaN/Inf");
    std::vector<double> k_eff(knm.size(), 0.0);
    std::vector<double> doppler(n, 0.0);
    std::vector<double> omega_eff(n, 0.0);
    std::vector<double> row(n, 0.0);
    Call call;
    call.knm_volatile = true;
    // Plasticity would act on the effective coupling, which is rebuilt from
    // the unchanged knm before the next step: it has no effect here.
    call.apply_plasticity = false;
    for (std::uint64_t t = 0; t < n_steps; ++t) {
        // knm was checked above and is never written; only positions can turn
        // non-finite, through overflow of their update.
        if (!all_finite(positions))
            return QorError::integration_diverged("spatial modulation inputs contain NaN/Inf");
        build_moving_frame_coupling(positions, knm, m, row.data(), k_eff.data());
        const std::span<const double> velocities = velocity_schedule.subspan(t * n, n);
        QOR_TRY(compute_doppler_term(velocities, k_eff, m.doppler_strength, m.doppler_epsilon, doppler));
        call.knm_finite = true;  // checked by the Doppler term
        call.knm_dirty = true;
        const double* w = omega_schedule.data() + t * n;
        for (std::size_t k = 0; k < n; ++k) omega_eff[k] = w[k] + doppler[k];
        QOR_TRY(step_in_call(phases, omega_eff, k_eff, zeta, psi, alpha, call));
        const double dt = config_.dt;
        for (std::size_t k = 0; k < n; ++k) positions[k] += dt * velocities[k];
    }
    return ok_status();
}

}  // namespace qor
