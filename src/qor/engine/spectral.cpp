#include "qor/engine/spectral.hpp"

#include <cmath>
#include <string>

// GCC 12 reports maybe-uninitialized inside its own AVX-512 intrinsic headers
// for Eigen's packet code (a false positive); keep -Werror builds working.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <Eigen/Eigenvalues>

namespace qor {
namespace {

using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

QorError size_error(const char* what, std::size_t n, std::size_t got, bool exact) {
    return QorError::invalid_dimension(std::string(what) + " must hold " + (exact ? "exactly" : "at least") +
                                       " n*n = " + std::to_string(n * n) + " values, got " + std::to_string(got));
}

bool square_overflows(std::size_t n) {
    std::size_t nn = 0;
    return __builtin_mul_overflow(n, n, &nn);
}

// Indices 0..n-1 ordered by ascending eigenvalue. Insertion sort with a plain
// `<`: stable, well defined when NaN makes the comparison inconsistent (NaN
// compares equal to everything, so it stays where the solver put it), and
// linear on the solver's output, which is already ascending.
std::vector<std::size_t> ascending_order(const Eigen::VectorXd& values) {
    const std::size_t n = static_cast<std::size_t>(values.size());
    std::vector<std::size_t> idx(n);
    for (std::size_t k = 0; k < n; ++k) idx[k] = k;
    for (std::size_t k = 1; k < n; ++k) {
        const std::size_t cur = idx[k];
        const double v = values[static_cast<Eigen::Index>(cur)];
        std::size_t j = k;
        while (j > 0 && v < values[static_cast<Eigen::Index>(idx[j - 1])]) {
            idx[j] = idx[j - 1];
            --j;
        }
        idx[j] = cur;
    }
    return idx;
}

// Runs the dense solver on the lower triangle of the row-major matrix. The
// eigenvalues do not depend on whether the eigenvectors are wanted: the
// tridiagonal reduction and the QR sweeps on it are the same, the rotations
// are only accumulated additionally.
void decompose(Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>& solver, std::span<const double> matrix,
               std::size_t n, bool vectors) {
    const auto en = static_cast<Eigen::Index>(n);
    Eigen::Map<const RowMajorMatrix> a(matrix.data(), en, en);
    solver.compute(a, vectors ? Eigen::ComputeEigenvectors : Eigen::EigenvaluesOnly);
}

Status check_square(std::span<const double> matrix, std::size_t n) {
    if (square_overflows(n)) return QorError::invalid_dimension("n*n is too large");
    if (matrix.size() != n * n) return size_error("matrix", n, matrix.size(), true);
    return ok_status();
}

}  // namespace

Result<std::vector<double>> graph_laplacian(std::span<const double> knm, std::size_t n) {
    if (square_overflows(n)) return QorError::invalid_dimension("n*n is too large");
    if (knm.size() < n * n) return size_error("knm", n, knm.size(), false);
    std::vector<double> lap(n * n, 0.0);
    std::vector<double> degree(n, 0.0);
    const double* k = knm.data();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            const double w = (std::fabs(k[j * n + i]) + std::fabs(k[i * n + j])) * 0.5;
            lap[i * n + j] = -w;
            lap[j * n + i] = -w;
            degree[i] += w;
            degree[j] += w;
        }
    }
    for (std::size_t i = 0; i < n; ++i) lap[i * n + i] = degree[i];
    return lap;
}

Result<SpectralResult> symmetric_eigen(std::span<const double> matrix, std::size_t n) {
    QOR_TRY(check_square(matrix, n));
    SpectralResult out;
    if (n == 0) return out;
    if (n == 1) {
        out.eigenvalues = {matrix[0]};
        out.eigenvectors = {1.0};
        return out;
    }
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver;
    decompose(solver, matrix, n, true);
    const Eigen::VectorXd& values = solver.eigenvalues();
    const Eigen::MatrixXd& vectors = solver.eigenvectors();
    const std::vector<std::size_t> idx = ascending_order(values);
    out.eigenvalues.resize(n);
    out.eigenvectors.resize(n * n);
    for (std::size_t k = 0; k < n; ++k) {
        const auto src = static_cast<Eigen::Index>(idx[k]);
        out.eigenvalues[k] = values[src];
        for (std::size_t r = 0; r < n; ++r) out.eigenvectors[r * n + k] = vectors(static_cast<Eigen::Index>(r), src);
    }
    return out;
}

Result<std::vector<double>> symmetric_eigenvalues(std::span<const double> matrix, std::size_t n) {
    QOR_TRY(check_square(matrix, n));
    if (n == 0) return std::vector<double>{};
    if (n == 1) return std::vector<double>{matrix[0]};
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver;
    decompose(solver, matrix, n, false);
    const Eigen::VectorXd& values = solver.eigenvalues();
    const std::vector<std::size_t> idx = ascending_order(values);
    std::vector<double> out(n);
    for (std::size_t k = 0; k < n; ++k) out[k] = values[static_cast<Eigen::Index>(idx[k])];
    return out;
}

namespace {

// Ascending eigenvalues of the coupling matrix's graph Laplacian.
Result<std::vector<double>> laplacian_eigenvalues(std::span<const double> knm, std::size_t n) {
    Result<std::vector<double>> lap = graph_laplacian(knm, n);
    QOR_TRY(lap);
    return symmetric_eigenvalues(*lap, n);
}

}  // namespace

Result<double> fiedler_value(std::span<const double> knm, std::size_t n) {
    if (n < 2) return 0.0;
    Result<std::vector<double>> values = laplacian_eigenvalues(knm, n);
    QOR_TRY(values);
    return (*values)[1];
}

Result<std::vector<double>> fiedler_vector(std::span<const double> knm, std::size_t n) {
    if (n < 2) return std::vector<double>(n, 0.0);
    Result<std::vector<double>> lap = graph_laplacian(knm, n);
    QOR_TRY(lap);
    // Only column 1 is wanted, so it is taken straight from the solver instead
    // of copying the whole eigenvector matrix first.
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver;
    decompose(solver, *lap, n, true);
    const std::vector<std::size_t> idx = ascending_order(solver.eigenvalues());
    const auto col = static_cast<Eigen::Index>(idx[1]);
    std::vector<double> out(n);
    for (std::size_t r = 0; r < n; ++r) out[r] = solver.eigenvectors()(static_cast<Eigen::Index>(r), col);
    return out;
}

Result<double> spectral_gap(std::span<const double> knm, std::size_t n) {
    if (n < 3) return 0.0;
    Result<std::vector<double>> values = laplacian_eigenvalues(knm, n);
    QOR_TRY(values);
    return (*values)[2] - (*values)[1];
}

}  // namespace qor
