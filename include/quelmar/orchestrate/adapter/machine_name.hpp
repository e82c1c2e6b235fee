// The machine-name rule of mediators, apart from everything else of the platform so that a
// reader of serials (the inventory) can check them without depending on the adapter.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quelmar::orchestrate::adapter::machine_name {

// Every mediator machine's name starts with this; the rest is the meter's serial.
inline constexpr const char* kMediatorPrefix = "mediator-";
// The platform's limit on a machine name.
inline constexpr std::size_t kMaxMachineNameLength = 63;
// The longest serial whose mediator name the platform still accepts.
inline constexpr std::size_t kMaxSerialLength =
    kMaxMachineNameLength - std::char_traits<char>::length(kMediatorPrefix);

// The machine name a meter's mediator gets ("mediator-" + serial).
inline std::string mediator_name(std::string_view serial) {
  return std::string(kMediatorPrefix).append(serial);
}

}  // namespace quelmar::orchestrate::adapter::machine_name
