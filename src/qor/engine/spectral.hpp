// Graph Laplacians of coupling matrices and their spectra.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "qor/types/error.hpp"

namespace qor {

// Eigenpairs of a symmetric n*n matrix, eigenvalues ascending. Column k of
// the row-major `eigenvectors` (elements r*n + k) is the unit eigenvector of
// eigenvalues[k]; its sign is whatever the solver produced.
struct SpectralResult {
    std::vector<double> eigenvalues;
    std::vector<double> eigenvectors;
};

// Laplacian of the undirected graph with weights w_ij = (|K_ij| + |K_ji|)/2
// for i != j: L_ij = -w_ij, L_ii = sum of w_ij over j != i. Reads only the
// off-diagonal entries of the first n*n values of `knm`. A shorter `knm` is
// an InvalidDimension error.
Result<std::vector<double>> graph_laplacian(std::span<const double> knm, std::size_t n);

// All eigenpairs of the symmetric n*n row-major `matrix`; only the lower
// triangle (row >= column) is read. `matrix` must hold exactly n*n values
// (InvalidDimension otherwise). n = 1 returns the element and [1.0] without
// calling the solver. NaN does not fail; it propagates into the result.
Result<SpectralResult> symmetric_eigen(std::span<const double> matrix, std::size_t n);

// The eigenvalues of symmetric_eigen alone, in the same order and with the
// same values, without computing eigenvectors.
Result<std::vector<double>> symmetric_eigenvalues(std::span<const double> matrix, std::size_t n);

// lambda_2 of the Laplacian of `knm` (algebraic connectivity); 0.0 when
// n < 2 (knm not read). About 0, possibly a tiny negative number, for a
// disconnected graph.
Result<double> fiedler_value(std::span<const double> knm, std::size_t n);

// The eigenvector of lambda_2 of the Laplacian of `knm`; n zeros when n < 2.
Result<std::vector<double>> fiedler_vector(std::span<const double> knm, std::size_t n);

// lambda_3 - lambda_2 of the Laplacian of `knm`; 0.0 when n < 3.
Result<double> spectral_gap(std::span<const double> knm, std::size_t n);

}  // namespace qor
