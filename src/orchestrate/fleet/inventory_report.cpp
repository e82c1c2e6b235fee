#include "quelmar/orchestrate/fleet/inventory_report.hpp"

#include "quelmar/util/escape.hpp"

namespace quelmar::orchestrate::fleet {

std::vector<std::string> inventory_problem_lines(const Inventory& inventory,
                                                 const std::string& file) {
  const std::string shown = util::escape_for_terminal(file);
  std::vector<std::string> lines;
  for (const auto& problem : inventory.problems) {
    lines.push_back(shown + ':' + std::to_string(problem.line) + ": " +
                    util::escape_for_terminal(problem.message));
  }
  if (inventory.more_problems > 0) {
    lines.push_back(shown + ": " + std::to_string(inventory.more_problems) +
                    (inventory.more_problems == 1 ? " more problem" : " more problems"));
  }
  return lines;
}

}  // namespace quelmar::orchestrate::fleet
