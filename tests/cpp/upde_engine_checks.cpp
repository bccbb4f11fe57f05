// Engine-level checks of the UPDE operations that the Python module does not
// reach directly: the CSR plasticity update (used by the sparse stepper), the
// preconditions of the dense update, the direct right-hand side and the
// Doppler term. Built and run by tests/test_upde_engine.py; prints one line
// per failure and "OK <count>" when everything holds.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "qor/engine/common.hpp"
#include "qor/engine/plasticity.hpp"
#include "qor/engine/upde.hpp"
#include "qor/types/config.hpp"

namespace {

int g_checks = 0;
int g_failures = 0;

void check(bool ok, const std::string& what) {
    ++g_checks;
    if (!ok) {
        ++g_failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Rng {
    qor::Lcg lcg{12345};
    double uniform(double lo, double hi) { return lo + (hi - lo) * lcg.next_unit(); }
};

void config_checks() {
    qor::IntegrationConfig c;
    check(c.validate().ok(), "default config is valid");
    c.dt = -0.5;
    c.n_substeps = 0;
    auto r = c.validate();
    check(!r.ok() && r.error().message == "dt must be positive finite, got -0.5" &&
              r.error().kind == qor::ErrorKind::InvalidConfig,
          "dt checked first");
    c.dt = 0.1;
    r = c.validate();
    check(!r.ok() && r.error().message == "n_substeps must be >= 1", "n_substeps second");
    c.n_substeps = 1;
    c.method = qor::IntegrationMethod::RK45;
    c.atol = 1e-3;
    c.rtol = 1e-6;
    r = c.validate();
    check(!r.ok() && r.error().message == "for RK45, rtol must be >= atol", "rk45 tolerance order");
    c.method = qor::IntegrationMethod::RK4;
    check(c.validate().ok(), "rk4 ignores the tolerance order");
    check(qor::parse_integration_method("rk45") == qor::IntegrationMethod::RK45, "parse rk45");
    check(!qor::parse_integration_method("Euler").has_value(), "parse is case-sensitive");
    auto s = qor::UPDEStepper::create(0, qor::IntegrationConfig{});
    check(!s.ok() && s.error().display() == "invalid dimension: n must be > 0", "n = 0");
}

// A 4-oscillator CSR network with two self-links, a negative link and an empty row.
struct Csr {
    std::size_t n = 4;
    std::vector<std::size_t> row_ptr{0, 3, 3, 5, 6};
    std::vector<std::size_t> cols{0, 1, 3, 1, 2, 0};
    std::vector<double> values{0.7, 0.2, -0.5, 0.4, 0.3, 0.01};
};

void sparse_update_checks() {
    const std::vector<double> theta{0.3, 1.9, 2.5, 4.0};
    std::vector<double> s(4), c(4);
    for (int i = 0; i < 4; ++i) {
        s[i] = std::sin(theta[i]);
        c[i] = std::cos(theta[i]);
    }
    const double lr = 0.8, decay = 0.5, mod = 1.5, dt = 0.1;

    // Agreement with the dense update on the stored links.
    Csr g;
    std::vector<double> dense(16, 0.0);
    for (std::size_t row = 0; row < g.n; ++row)
        for (std::size_t e = g.row_ptr[row]; e < g.row_ptr[row + 1]; ++e) dense[row * g.n + g.cols[e]] = g.values[e];
    qor::PlasticityModel::update(s, c, dense, lr, decay, mod, dt);
    qor::PlasticityModel::update_sparse(s, c, g.row_ptr, lr, decay, mod, dt, g.cols, g.values);
    bool same = true;
    for (std::size_t row = 0; row < g.n; ++row)
        for (std::size_t e = g.row_ptr[row]; e < g.row_ptr[row + 1]; ++e)
            same = same && std::fabs(g.values[e] - dense[row * g.n + g.cols[e]]) <= 1e-15;
    check(same, "sparse update equals the dense update on stored links");
    check(g.values[0] == 0.0, "stored self-link becomes 0");
    check(g.values.size() == 6 && g.values[2] >= 0.0, "pattern kept, values clamped at 0");
    const double expected01 = std::max(0.0, 0.2 * std::exp(-decay * dt) + ((mod * lr) * (s[1] * s[0] + c[1] * c[0])) * dt);
    check(std::fabs(g.values[1] - expected01) <= 1e-16, "formula of one link");

    // A link driven to 0 stays stored with value 0.
    Csr z;
    std::vector<double> anti_s{0.0, 0.0, 0.0, 0.0}, anti_c{1.0, 1.0, -1.0, -1.0};
    qor::PlasticityModel::update_sparse(anti_s, anti_c, z.row_ptr, 1.0, 0.0, 1.0, 1.0, z.cols, z.values);
    check(z.values[1] == 1.2 && z.values[2] == 0.0 && z.values[4] == 0.0 && z.values.size() == 6,
          "anti-aligned links clamp to a stored 0");

    // Every violated precondition leaves the values untouched.
    struct Case {
        const char* name;
        void (*mutate)(Csr&, std::vector<double>&, std::vector<double>&, double&, double&);
    };
    const Case cases[] = {
        {"decreasing row_ptr", [](Csr& x, auto&, auto&, double&, double&) { x.row_ptr = {0, 3, 2, 5, 6}; }},
        {"row_ptr not starting at 0", [](Csr& x, auto&, auto&, double&, double&) { x.row_ptr[0] = 1; }},
        {"row_ptr not ending at nnz", [](Csr& x, auto&, auto&, double&, double&) { x.row_ptr[4] = 5; }},
        {"row_ptr too short", [](Csr& x, auto&, auto&, double&, double&) { x.row_ptr.pop_back(); }},
        {"column out of range", [](Csr& x, auto&, auto&, double&, double&) { x.cols[3] = 4; }},
        {"columns and values differ", [](Csr& x, auto&, auto&, double&, double&) { x.cols.push_back(0); }},
        {"sin and cos differ", [](Csr&, auto& ss, auto&, double&, double&) { ss.push_back(0.0); }},
        {"NaN dt", [](Csr&, auto&, auto&, double& d, double&) { d = kNaN; }},
        {"negative dt", [](Csr&, auto&, auto&, double& d, double&) { d = -1e-9; }},
        {"NaN modulator", [](Csr&, auto&, auto&, double&, double& m) { m = kNaN; }},
        {"infinite cosine", [](Csr&, auto&, auto& cc, double&, double&) { cc[2] = kInf; }},
        {"NaN value", [](Csr& x, auto&, auto&, double&, double&) { x.values[5] = kNaN; }},
    };
    for (const Case& k : cases) {
        Csr x;
        std::vector<double> ss = s, cc = c;
        double d = dt, m = mod;
        k.mutate(x, ss, cc, d, m);
        const std::vector<double> before = x.values;
        qor::PlasticityModel::update_sparse(ss, cc, x.row_ptr, lr, decay, m, d, x.cols, x.values);
        bool untouched = x.values.size() == before.size();
        for (std::size_t e = 0; untouched && e < before.size(); ++e)
            untouched = std::isnan(before[e]) ? std::isnan(x.values[e]) : x.values[e] == before[e];
        check(untouched, std::string("sparse update skipped: ") + k.name);
    }

    // dt = 0 is allowed: no decay and no learning, only the clamps.
    Csr zero_dt;
    qor::PlasticityModel::update_sparse(s, c, zero_dt.row_ptr, lr, decay, mod, 0.0, zero_dt.cols, zero_dt.values);
    check(zero_dt.values == std::vector<double>{0.0, 0.2, 0.0, 0.4, 0.0, 0.01}, "dt = 0 only clamps");

    // An empty network and a row-less one are fine.
    std::vector<std::size_t> rp0{0};
    std::vector<std::size_t> none;
    std::vector<double> nv;
    qor::PlasticityModel::update_sparse({}, {}, rp0, lr, decay, mod, dt, none, nv);
    check(nv.empty(), "empty network");
}

void dense_update_checks() {
    std::vector<double> s{0.0, 1.0}, c{1.0, 0.0};
    std::vector<double> k{0.5, 0.2, 0.3, 0.5};
    check(qor::PlasticityModel::update(s, c, k, 0.0, 0.0, 1.0, 0.1), "finite result reported");
    check(k == std::vector<double>{0.0, 0.2, 0.3, 0.0}, "diagonal cleared");
    std::vector<double> bad{0.5, kNaN, 0.3, 0.5};
    check(!qor::PlasticityModel::update(s, c, bad, 1.0, 0.0, 1.0, 0.1) && bad[0] == 0.5,
          "non-finite coupling skips the update");
    std::vector<double> short_k{0.5, 0.2, 0.3};
    qor::PlasticityModel::update(s, c, short_k, 1.0, 0.0, 1.0, 0.1);
    check(short_k == std::vector<double>{0.5, 0.2, 0.3}, "wrong size skips the update");
    std::vector<double> k2{0.5, 0.2, 0.3, 0.5};
    std::vector<double> nan_s{kNaN, 0.0};
    qor::PlasticityModel::update(nan_s, c, k2, 1.0, 0.0, 1.0, 0.1);
    check(k2 == std::vector<double>{0.5, 0.2, 0.3, 0.5}, "NaN sine skips the update");
    std::vector<double> aligned_s{0.0, 0.0}, aligned_c{1.0, 1.0};
    std::vector<double> k3{0.0, 1.0, 1.0, 0.0};
    check(!qor::PlasticityModel::update(aligned_s, aligned_c, k3, 1e200, 0.0, 1e200, 1.0) && std::isinf(k3[1]),
          "overflowing learning term reported as non-finite");
}

double wrap(double x) { return qor::wrap_phase(x); }

void derivative_checks() {
    Rng rng;
    for (std::size_t n : {10u, 255u, 300u}) {
        for (bool lags : {false, true}) {
            std::vector<double> th(n), w(n), k(n * n), a(n * n, 0.0);
            for (auto& x : th) x = rng.uniform(0.0, qor::TWO_PI);
            for (auto& x : w) x = rng.uniform(-1.0, 1.0);
            for (auto& x : k) x = rng.uniform(0.0, 3.0 / static_cast<double>(n));
            if (lags)
                for (auto& x : a) x = rng.uniform(-0.7, 0.7);
            std::vector<double> sb(n), cb(n), d(n), d_general(n);
            qor::compute_derivative(th, w, k, 0.4, 1.1, a, !lags, sb, cb, d);
            bool buffers = true;
            for (std::size_t i = 0; i < n; ++i)
                buffers = buffers && std::fabs(sb[i] - std::sin(th[i])) < 1e-15 && std::fabs(cb[i] - std::cos(th[i])) < 1e-15;
            check(buffers, "sine and cosine buffers, n = " + std::to_string(n));
            if (!lags) {
                qor::compute_derivative(th, w, k, 0.4, 1.1, a, false, sb, cb, d_general);
                double diff = 0.0;
                for (std::size_t i = 0; i < n; ++i) diff = std::max(diff, std::fabs(d[i] - d_general[i]));
                check(diff < 1e-12, "zero-lag and general forms agree, n = " + std::to_string(n));
            }
            // Naive reference of the equation.
            double worst = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                double sum = 0.0;
                for (std::size_t j = 0; j < n; ++j) sum += k[i * n + j] * std::sin(th[j] - th[i] - a[i * n + j]);
                const double ref = w[i] + sum + 0.4 * std::sin(1.1 - th[i]);
                worst = std::max(worst, std::fabs(ref - d[i]));
            }
            check(worst < 1e-12, "derivative against the naive sum, n = " + std::to_string(n) + (lags ? " lags" : ""));
            // The stepper's prepared evaluation agrees with the direct one.
            qor::IntegrationConfig cfg;
            cfg.dt = 0.05;
            auto st = qor::UPDEStepper::create(n, cfg);
            std::vector<double> phases = th;
            auto r = st->step(phases, w, k, 0.4, 1.1, a);
            double step_err = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                double e = std::fabs(phases[i] - wrap(th[i] + 0.05 * d[i]));
                step_err = std::max(step_err, std::min(e, qor::TWO_PI - e));
            }
            check(r.ok() && step_err < 1e-13, "stepper Euler step equals theta + dt f, n = " + std::to_string(n));
        }
    }
}

void doppler_checks() {
    std::vector<double> v{1.0, 0.0}, k{9.0, 2.0, 3.0, 9.0}, out(2);
    check(qor::compute_doppler_term(v, k, 1.0, 1.0, out).ok(), "doppler ok");
    check(std::fabs(out[0] - 0.5) < 1e-15 && std::fabs(out[1] + 1.0) < 1e-15, "doppler values");
    std::vector<double> out_short(1);
    auto r = qor::compute_doppler_term(v, k, 1.0, 1.0, out_short);
    check(!r.ok() && r.error().display() == "invalid dimension: malformed Doppler inputs", "doppler output size");
    std::vector<double> k_short{1.0, 2.0, 3.0};
    r = qor::compute_doppler_term(v, k_short, 1.0, 1.0, out);
    check(!r.ok() && r.error().message == "malformed Doppler inputs", "doppler coupling size");
    std::vector<double> v_nan{kNaN, 0.0};
    r = qor::compute_doppler_term(v_nan, k, 1.0, 1.0, out);
    check(!r.ok() && r.error().display() == "integration diverged: Doppler velocities/knm contain NaN/Inf",
          "doppler non-finite");
    std::vector<double> self_only{5.0, 0.0, -0.0, 5.0};
    check(qor::compute_doppler_term(v, self_only, 1.0, 1.0, out).ok() && out[0] == 0.0 && out[1] == 0.0,
          "rows without off-diagonal coupling get 0");
}

}  // namespace

int main() {
    config_checks();
    sparse_update_checks();
    dense_update_checks();
    derivative_checks();
    doppler_checks();
    if (g_failures) {
        std::printf("%d of %d checks failed\n", g_failures, g_checks);
        return 1;
    }
    std::printf("OK %d\n", g_checks);
    return 0;
}
