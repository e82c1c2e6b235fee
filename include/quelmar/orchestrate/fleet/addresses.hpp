// Every meter's address: its primary mediator from one listing, and one DNS look-up.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quelmar/orchestrate/adapter/machines.hpp"

namespace quelmar::orchestrate::fleet {

struct MeterAddress {
  std::string meter_id{};
  std::string machine_id{};
  std::string address{};
};

// Each meter's primary mediator and its address, from one listing of every region and one DNS
// look-up; meters in listing order. Throws LookupFailed when the look-up fails, PlatformError
// when the listing does.
std::vector<MeterAddress> addresses(adapter::vostrel::Machines& adapter);

// One meter's primary mediator and its address by the same rule and listing as addresses(), so
// that the two never disagree: every region, dead records skipped, the first "started" one,
// else the first listed. Absent when no live mediator serves the meter; throws as addresses().
std::optional<MeterAddress> meter_address(adapter::vostrel::Machines& adapter,
                                          const std::string& meter_id);

}  // namespace quelmar::orchestrate::fleet
