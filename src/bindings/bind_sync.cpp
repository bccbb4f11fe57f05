// Basic synchrony measures over phase arrays.
#include "frame/frame.hpp"
#include "qor/engine/common.hpp"
#include "qor/engine/npe.hpp"
#include "qor/engine/sync.hpp"
#include "registry.hpp"

namespace qor::bindings {
namespace {

using py::ArrayIn;

std::tuple<double, double> order_parameter(ArrayIn<double> phases) {
    const OrderParameter op = qor::order_parameter(phases);
    return {op.r, op.psi};
}

Result<double> plv(ArrayIn<double> phases_a, ArrayIn<double> phases_b) { return qor::plv(phases_a, phases_b); }

std::vector<double> phase_distance_matrix(ArrayIn<double> phases) { return qor::phase_distance_matrix(phases); }

}  // namespace

void register_sync(py::Module& m) {
    m.def<&order_parameter>("order_parameter", {"phases"},
                            "Kuramoto order parameter of a set of phases. Returns (R, psi): R in [0, 1], "
                            "psi the mean phase in [0, 2*pi); (0.0, 0.0) for no phases.");
    m.def<&plv>("plv", {"phases_a", "phases_b"},
                "Phase-locking value of two equally long phase series: the length of the mean unit "
                "vector of phases_a - phases_b; 0.0 for empty series.");
    m.def<&phase_distance_matrix>("phase_distance_matrix", {"phases"},
                                  "Pairwise absolute phase differences wrapped to [0, pi], as a flat row-major "
                                  "N*N float64 array with a zero diagonal.");
}

}  // namespace qor::bindings
