// How a repair names its temporary copies, shared by the repair and the copy itself.
#pragma once

#include <string_view>

namespace quelmar::profile_logs::repair {

// Temporary copies are named this, then 16 random hex digits, then ".tmp": a
// repair removes those an earlier one left behind when it was cut short.
inline constexpr std::string_view TEMPORARY_PREFIX = ".quelmar-repair-";

}  // namespace quelmar::profile_logs::repair
