#include "qor/supervisor/policy.hpp"

#include <string>

namespace qor {

std::vector<ControlAction> SupervisorPolicy::actions_for(Regime regime, const UPDEState& state) {
    std::vector<ControlAction> actions;
    switch (regime) {
        case Regime::Nominal:
            break;
        case Regime::Degraded:
            actions.push_back({Knob::K, "global", 0.05, 10.0, "degraded: boost global coupling"});
            break;
        case Regime::Critical: {
            actions.push_back({Knob::Zeta, "global", 0.1, 5.0, "critical: increase damping"});
            if (!state.layers.empty()) {
                std::size_t m = 0;
                for (std::size_t i = 1; i < state.layers.size(); ++i)
                    if (state.layers[i].R < state.layers[m].R) m = i;
                const std::string index = std::to_string(m);
                actions.push_back({Knob::K, "layer_" + index, -0.03, 5.0, "critical: reduce coupling on layer " + index});
            }
            break;
        }
        case Regime::Recovery:
            actions.push_back({Knob::K, "global", 0.025, 15.0, "recovery: gradual coupling restore"});
            break;
    }
    return actions;
}

std::vector<ControlAction> SupervisorPolicy::decide(const UPDEState& state, const BoundaryState& boundaries) {
    if (state.validate()) return {};
    const Regime regime = manager_.transition(manager_.evaluate(state, boundaries));
    std::vector<ControlAction> actions = actions_for(regime, state);
    std::erase_if(actions, [](const ControlAction& a) { return a.validate().has_value(); });
    return actions;
}

}  // namespace qor
