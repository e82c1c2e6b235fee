// The version line of the project's tools.
#pragma once

#include <string>
#include <string_view>

namespace quelmar::build_info {

// "PROGRAM VERSION (git REVISION)"; without the parenthesis when the revision is unknown.
std::string version_line(std::string_view program, std::string_view version,
                         std::string_view revision);

// The same for this build.
std::string version_line(std::string_view program);

}  // namespace quelmar::build_info
