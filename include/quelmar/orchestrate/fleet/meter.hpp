// A meter as the inventory describes it, and what reading an inventory gives: the records that
// the inventory's parser and its callers share.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "quelmar/orchestrate/adapter/machine_name.hpp"

namespace quelmar::orchestrate::fleet {

inline constexpr int DEFAULT_METER_PORT = 50051;
// A serial becomes a machine name, so it is no longer than the platform's names allow.
inline constexpr std::size_t MAX_SERIAL_LENGTH = adapter::machine_name::kMaxSerialLength;

// One row of the inventory.
struct Meter {
  std::string meter_id{};
  std::string serial{};
  std::string ip_address{};
  int port = DEFAULT_METER_PORT;
  bool cert_auth = false;
  std::size_t line = 0;  // where its row starts in the file
  // Its profile-log directory relative to a replica root, as bytes (decoded from the key
  // encoding of the audit's JSON output); empty when it has none.
  std::string directory{};
  // The days it is in service, inclusive; an absent end is open.
  std::optional<std::chrono::year_month_day> commissioned{};
  std::optional<std::chrono::year_month_day> decommissioned{};
};

struct InventoryProblem {
  std::size_t line = 0;
  std::string message{};  // holds the file's own text unescaped
};

// The problems an inventory lists at most; the rest are only counted.
inline constexpr std::size_t MAX_INVENTORY_PROBLEMS = 100;

// Meters in file order, or the problems found; a file with problems yields no meters.
struct Inventory {
  std::vector<Meter> meters{};
  // The first MAX_INVENTORY_PROBLEMS by line (those of one line in the order found).
  std::vector<InventoryProblem> problems{};
  std::size_t more_problems = 0;  // found beyond those listed
  // read_inventory: the SHA-256 of the file's bytes, in lower-case hex, so that a plan can
  // name the inventory it was made from.
  std::string sha256{};
};

// What the inventory is read for: the fleet needs meter_id, serial and ip_address; the audit of
// profile logs needs meter_id and directory, and checks only the columns it uses.
enum class InventoryUse { kFleet, kAudit };

}  // namespace quelmar::orchestrate::fleet
