// The inventory CSV: any text gives meters or problems, never a crash, and every meter it
// yields is one the fleet can act on.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "check.hpp"
#include "quelmar/orchestrate/fleet/inventory.hpp"

namespace fleet = quelmar::orchestrate::fleet;
using quelmar::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const fleet::Inventory inventory = fleet::parse_inventory(text);
  require(inventory.meters.empty() || inventory.problems.empty(),
          "a file with problems yields no meters");
  std::set<std::string> ids;
  std::set<std::string> serials;
  std::size_t previous_line = 1;  // the header's, at least
  for (const fleet::Meter& meter : inventory.meters) {
    in6_addr binary{};
    require(!meter.meter_id.empty() && !meter.serial.empty(), "a meter has an id and a serial");
    require(ids.insert(meter.meter_id).second && serials.insert(meter.serial).second,
            "meter ids and serials are unique");
    require(inet_pton(AF_INET, meter.ip_address.c_str(), &binary) == 1 ||
                inet_pton(AF_INET6, meter.ip_address.c_str(), &binary) == 1,
            "a meter's address is an IP address");
    require(meter.port >= 1 && meter.port <= 65535, "a meter's port is 1..65535");
    require(meter.line > previous_line, "meters come in file order, after the header");
    previous_line = meter.line;
  }
  return 0;
}
