// Inventory problems as the tests compare them: "LINE: message".
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "orchestrate/fleet/inventory_problems.hpp"
#include "quelmar/orchestrate/fleet/inventory.hpp"

namespace quelmar::orchestrate::fleet {

inline std::vector<std::string> lines_and_messages(const Inventory& inventory) {
  std::vector<std::string> shown;
  for (const auto& p : inventory.problems) {
    shown.push_back(std::to_string(p.line) + ": " + p.message);
  }
  return shown;
}

// What a finished problem list reports.
inline Inventory reported(inventory::ProblemList& problems) {
  Inventory inventory;
  std::move(problems).report_to(inventory);
  return inventory;
}

}  // namespace quelmar::orchestrate::fleet
