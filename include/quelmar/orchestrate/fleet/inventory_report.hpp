// An inventory's problems as the operator reads them: "FILE:LINE: message" for each listed
// one, then "FILE: N more problems" when some were only counted.
#pragma once

#include <string>
#include <vector>

#include "quelmar/orchestrate/fleet/inventory.hpp"

namespace quelmar::orchestrate::fleet {

// `file` is the file's name as given (escaped here, as are the messages, which hold the
// file's own text); "(standard input)" for a stream.
std::vector<std::string> inventory_problem_lines(const Inventory& inventory,
                                                 const std::string& file);

}  // namespace quelmar::orchestrate::fleet
