// Why a saved plan no longer holds, as the operator reads it before refusing it whole.
#pragma once

#include <cstddef>
#include <string>

#include "quelmar/orchestrate/fleet/plan_file.hpp"

namespace quelmar::orchestrate::fleet {

// "machine ID of meter METER: what changed", "-" for a missing meter id; a long change (a
// config shown whole) is cut short.
std::string stale_line(const StaleMachine& machine);

// "the plan is stale (N machines changed since it was made); make a new plan".
std::string stale_summary(std::size_t count);

}  // namespace quelmar::orchestrate::fleet
