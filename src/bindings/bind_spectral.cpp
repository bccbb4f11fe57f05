// Spectral graph quantities of coupling matrices.
#include <string>

#include "frame/frame.hpp"
#include "qor/engine/spectral.hpp"
#include "registry.hpp"

namespace qor::bindings {
namespace {

using py::ArrayIn;

// The Laplacian reads the first n*n values of knm; a shorter array is refused
// here so that nothing is read past its end.
void require_knm(const ArrayIn<double>& knm, std::size_t n) {
    const std::size_t nn = py::checked_mul(n, n, "n*n");
    if (knm.size() < nn)
        py::value_error("knm must hold at least n*n = " + std::to_string(nn) + " values, got " +
                        std::to_string(knm.size()));
}

Result<double> fiedler_value_fast(ArrayIn<double> knm, std::size_t n) {
    if (n >= 2) require_knm(knm, n);
    return qor::fiedler_value(knm, n);
}

Result<std::vector<double>> fiedler_vector_fast(ArrayIn<double> knm, std::size_t n) {
    if (n >= 2) require_knm(knm, n);
    return qor::fiedler_vector(knm, n);
}

Result<double> spectral_gap_fast(ArrayIn<double> knm, std::size_t n) {
    if (n >= 3) require_knm(knm, n);
    return qor::spectral_gap(knm, n);
}

}  // namespace

void register_spectral(py::Module& m) {
    m.def<&fiedler_value_fast>(
        "fiedler_value_fast", {"knm", "n"},
        "Algebraic connectivity of a coupling matrix: the second-smallest eigenvalue of the Laplacian "
        "of the undirected graph with weights (|K_ij| + |K_ji|)/2. knm is the flat row-major n*n "
        "float64 coupling matrix (the diagonal and any values past n*n are ignored). Returns a float; "
        "0.0 when n < 2 (knm is not read).");
    m.def<&fiedler_vector_fast>(
        "fiedler_vector_fast", {"knm", "n"},
        "Fiedler vector of a coupling matrix: the unit eigenvector of the second-smallest eigenvalue "
        "of its graph Laplacian (as in fiedler_value_fast), with the solver's sign. Returns a float64 "
        "array of length n; zeros when n < 2 (knm is not read).");
    m.def<&spectral_gap_fast>(
        "spectral_gap_fast", {"knm", "n"},
        "Spectral gap of a coupling matrix: lambda_3 - lambda_2, the distance between the second and "
        "third smallest eigenvalues of its graph Laplacian (as in fiedler_value_fast). Returns a "
        "float; 0.0 when n < 3 (knm is not read).");
}

}  // namespace qor::bindings
