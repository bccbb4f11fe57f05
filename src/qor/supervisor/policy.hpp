// The built-in supervisor policy: one observation in, a regime decision
// through an embedded regime manager (hold disabled), and the fixed control
// actions of the regime that is current afterwards.
#pragma once

#include <cstdint>
#include <vector>

#include "qor/supervisor/regime.hpp"
#include "qor/types/action.hpp"
#include "qor/types/state.hpp"

namespace qor {

class SupervisorPolicy {
public:
    SupervisorPolicy(double hysteresis, std::uint64_t cooldown_steps) noexcept
        : manager_(hysteresis, cooldown_steps, 0) {}

    // An invalid snapshot gets no actions and leaves the manager untouched.
    // Otherwise the proposal goes through the manager's transition rules and
    // the actions of the resulting regime are returned (invalid ones dropped).
    std::vector<ControlAction> decide(const UPDEState& state, const BoundaryState& boundaries);

    // The actions of the table for `regime`; for Critical the layer with
    // the smallest R (lowest index among equals) is named.
    static std::vector<ControlAction> actions_for(Regime regime, const UPDEState& state);

    const RegimeManager& manager() const noexcept { return manager_; }

private:
    RegimeManager manager_;
};

}  // namespace qor
