// The paths the reports print for what lies below a replica root.
#pragma once

#include <string>
#include <string_view>

namespace quelmar::profile_logs {

// A root as given, without trailing slashes ("/" stays).
std::string trimmed_root(std::string root);

// `rel` (relative to the roots, "." for a root itself) below `root`.
std::string path_below(const std::string& root, std::string_view rel);

}  // namespace quelmar::profile_logs
