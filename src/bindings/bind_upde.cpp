// The dense UPDE stepper class.
#include <cstdint>
#include <string>
#include <vector>

#include "frame/frame.hpp"
#include "qor/engine/upde.hpp"
#include "registry.hpp"

namespace qor::bindings {
namespace {

using py::ArrayIn;
using py::ArrayMut;

Result<UPDEStepper> make_stepper(std::uint64_t n, double dt, std::string method, std::uint32_t n_substeps,
                                 double atol, double rtol) {
    const std::optional<IntegrationMethod> m = parse_integration_method(method);
    if (!m) py::value_error("unknown method: " + method);
    IntegrationConfig config;
    config.dt = dt;
    config.method = *m;
    config.n_substeps = n_substeps;
    config.atol = atol;
    config.rtol = rtol;
    return UPDEStepper::create(static_cast<std::size_t>(n), config);
}

// The phases are integrated in a copy, which becomes the result array.
std::vector<double> working_copy(const ArrayIn<double>& phases) { return {phases.begin(), phases.end()}; }

std::vector<double> step(UPDEStepper& s, ArrayIn<double> phases, ArrayIn<double> omegas, ArrayMut<double> knm,
                         double zeta, double psi, ArrayIn<double> alpha) {
    std::vector<double> out = working_copy(phases);
    py::unwrap(s.step(out, omegas, knm.span(), zeta, psi, alpha));
    return out;
}

std::vector<double> run(UPDEStepper& s, ArrayIn<double> phases, ArrayIn<double> omegas, ArrayMut<double> knm,
                        double zeta, double psi, ArrayIn<double> alpha, std::uint64_t n_steps) {
    std::vector<double> out = working_copy(phases);
    py::unwrap(s.run(out, omegas, knm.span(), zeta, psi, alpha, n_steps));
    return out;
}

std::vector<double> run_omega_schedule(UPDEStepper& s, ArrayIn<double> phases, ArrayIn<double> omega_schedule,
                                       ArrayMut<double> knm, double zeta, double psi, ArrayIn<double> alpha,
                                       std::uint64_t n_steps) {
    std::vector<double> out = working_copy(phases);
    py::unwrap(s.run_omega_schedule(out, omega_schedule, knm.span(), zeta, psi, alpha, n_steps));
    return out;
}

std::vector<double> run_doppler_schedule(UPDEStepper& s, ArrayIn<double> phases, ArrayIn<double> omega_schedule,
                                         ArrayMut<double> knm, double zeta, double psi, ArrayIn<double> alpha,
                                         ArrayIn<double> velocity_schedule, double doppler_strength,
                                         double doppler_epsilon, std::uint64_t n_steps) {
    std::vector<double> out = working_copy(phases);
    py::unwrap(s.run_doppler_schedule(out, omega_schedule, knm.span(), zeta, psi, alpha, velocity_schedule,
                                      doppler_strength, doppler_epsilon, n_steps));
    return out;
}

std::vector<double> run_moving_frame_schedule(UPDEStepper& s, ArrayIn<double> phases, ArrayIn<double> positions,
                                              ArrayIn<double> omega_schedule, ArrayIn<double> knm, double zeta,
                                              double psi, ArrayIn<double> alpha, ArrayIn<double> velocity_schedule,
                                              double spatial_k_base, std::uint8_t spatial_decay_form,
                                              double spatial_decay_exponent, double spatial_decay_length_scale,
                                              double spatial_epsilon, double doppler_strength,
                                              double doppler_epsilon, std::uint64_t n_steps) {
    std::vector<double> out = working_copy(phases);
    std::vector<double> x(positions.begin(), positions.end());
    MovingFrameControls controls;
    controls.spatial_k_base = spatial_k_base;
    controls.spatial_decay_form = spatial_decay_form;
    controls.spatial_decay_exponent = spatial_decay_exponent;
    controls.spatial_decay_length_scale = spatial_decay_length_scale;
    controls.spatial_epsilon = spatial_epsilon;
    controls.doppler_strength = doppler_strength;
    controls.doppler_epsilon = doppler_epsilon;
    py::unwrap(s.run_moving_frame_schedule(out, x, omega_schedule, knm, zeta, psi, alpha, velocity_schedule, controls,
                                           n_steps));
    return out;
}

Status set_plasticity(UPDEStepper& s, double lr, double decay, double modulator) {
    return s.set_plasticity(lr, decay, modulator);
}

void disable_plasticity(UPDEStepper& s) { s.disable_plasticity(); }

std::tuple<double, double> order_parameter(const UPDEStepper& s) {
    const OrderParameter op = s.order_parameter();
    return {op.r, op.psi};
}

std::uint64_t get_n(const UPDEStepper& s) { return s.n(); }
double get_last_dt(const UPDEStepper& s) { return s.last_dt(); }

}  // namespace

void register_upde(py::Module& m) {
    using py::arg;
    auto c = m.cls<UPDEStepper>(
        "PyUPDEStepper",
        "Integrator of the UPDE for n phase oscillators: natural frequencies, sine coupling through a row-major "
        "n*n coupling matrix knm with phase lags alpha, and a drive of strength zeta toward the phase psi. "
        "method is \"euler\", \"rk4\" (n_substeps equal sub-steps of dt) or \"rk45\" (adaptive, with atol and "
        "rtol). Phases are passed in and returned as new arrays.");
    c.constructor<&make_stepper>({"n", arg("dt", 0.01), arg("method", "euler"), arg("n_substeps", 1),
                                  arg("atol", 1e-6), arg("rtol", 1e-3)});
    c.method<&step>("step",
                    {arg("phases").noncontig("phases not contiguous"), "omegas", "knm", "zeta", "psi", "alpha"},
                    "Advance phases by one step. Returns new phases as numpy array.");
    c.method<&run>("run",
                   {arg("phases").noncontig("phases not contiguous"), "omegas", "knm", "zeta", "psi", "alpha",
                    "n_steps"},
                   "Run n_steps. Returns final phases as numpy array.");
    c.method<&run_omega_schedule>("run_omega_schedule",
                                  {arg("phases").noncontig("phases not contiguous"), "omega_schedule", "knm", "zeta",
                                   "psi", "alpha", "n_steps"},
                                  "Run n_steps with one omega vector per outer step.");
    c.method<&run_doppler_schedule>("run_doppler_schedule",
                                    {arg("phases").noncontig("phases not contiguous"), "omega_schedule", "knm",
                                     "zeta", "psi", "alpha", "velocity_schedule", "doppler_strength",
                                     "doppler_epsilon", "n_steps"},
                                    "Run n_steps with one omega vector and one velocity vector per step.");
    c.method<&run_moving_frame_schedule>(
        "run_moving_frame_schedule",
        {arg("phases").noncontig("phases not contiguous"), arg("positions").noncontig("positions not contiguous"),
         "omega_schedule", "knm", "zeta", "psi", "alpha", "velocity_schedule", "spatial_k_base",
         "spatial_decay_form", "spatial_decay_exponent", "spatial_decay_length_scale", "spatial_epsilon",
         "doppler_strength", "doppler_epsilon", "n_steps"},
        "Run n_steps with omega, velocity, and axial position schedules.");
    c.method<&set_plasticity>("set_plasticity", {"lr", arg("decay", 0.0), arg("modulator", 1.0)});
    c.method<&disable_plasticity>("disable_plasticity", {});
    c.method<&order_parameter>("order_parameter", {});
    c.property<&get_n>("n");
    c.property<&get_last_dt>("last_dt");
    c.finish();
}

}  // namespace qor::bindings
