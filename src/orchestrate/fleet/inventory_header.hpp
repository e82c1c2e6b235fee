// The inventory's header row: which field of a row holds which column.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "inventory_problems.hpp"
#include "inventory_records.hpp"

namespace quelmar::orchestrate::fleet::inventory {

enum class Column {
  kMeterId,
  kSerial,
  kIpAddress,
  kPort,
  kCertAuth,
  kDirectory,
  kCommissioned,
  kDecommissioned
};
inline constexpr std::size_t kColumnCount = 8;

// "meter_id", "serial", ...: the name in the header.
std::string_view column_name(Column column);

struct Header {
  std::size_t line = 0;
  std::size_t width = 0;  // the fields every row has
  std::array<std::optional<std::size_t>, kColumnCount> positions{};

  std::optional<std::size_t> position(Column column) const {
    return positions[static_cast<std::size_t>(column)];
  }
};

// Known columns in any order; meter_id, serial and ip_address required for the fleet, meter_id
// and directory for the audit. Unknown, repeated and missing columns go to `problems`.
Header map_header(const Record& record, ProblemList& problems,
                  InventoryUse use = InventoryUse::kFleet);

}  // namespace quelmar::orchestrate::fleet::inventory
