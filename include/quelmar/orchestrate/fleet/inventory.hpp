// The meter inventory: a CSV file of meters, read and checked as text alone.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "quelmar/orchestrate/fleet/meter.hpp"

namespace quelmar::orchestrate::fleet {

// Whether the meter is in service on `day`: not yet commissioned or already decommissioned
// means out of service, and then it has no mediator.
bool in_service(const Meter& meter, std::chrono::year_month_day day);
// The meters in service on `day`, in order.
std::vector<Meter> in_service(const std::vector<Meter>& meters, std::chrono::year_month_day day);

// CSV (RFC 4180, UTF-8, a header row, columns in any order): meter_id, serial, ip_address
// required; port (default 50051) and cert_auth (true/false, default false) optional, an empty
// cell taking the default; directory (a path below the root in the key encoding of the audit's
// JSON output, unique), commissioned and decommissioned (YYYY-MM-DD, inclusive) optional and may
// be empty. A file
// without any meter row is a problem ("no meter rows", on the header's line).
Inventory parse_inventory(std::string_view text, InventoryUse use = InventoryUse::kFleet);
// Throws std::runtime_error when the file cannot be read or is larger than 64 MiB.
Inventory read_inventory(const std::string& path, InventoryUse use = InventoryUse::kFleet);
// The same from a stream (standard input); `name` says what it is in error messages.
Inventory read_inventory(std::istream& in, const std::string& name,
                         InventoryUse use = InventoryUse::kFleet);

}  // namespace quelmar::orchestrate::fleet
