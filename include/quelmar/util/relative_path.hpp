// A directory named relative to a root, as the audit's JSON keys write it and as operators list
// it: checked before anything is built on it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quelmar::util {

inline constexpr std::size_t MAX_RELATIVE_PATH_BYTES = 4096;
inline constexpr std::size_t MAX_RELATIVE_PATH_COMPONENTS = 1024;

// Why `path` names no directory below a root, or nothing when it does: "absolute path",
// "trailing /", "empty component", ". or .. component", "NUL byte", or a bound passed
// (MAX_RELATIVE_PATH_BYTES, MAX_RELATIVE_PATH_COMPONENTS). "." alone is the root itself:
// accepted only when `root_allowed`.
std::optional<std::string> relative_path_problem(std::string_view path, bool root_allowed);

// The bytes a path key stands for: "\\" a backslash, "\n" a line feed, "\r" a carriage
// return, "\xNN" any byte but NUL and "/"; every other byte as it is. Nothing when a
// backslash starts anything else; `problem` then says why.
std::optional<std::string> decode_path_key(std::string_view text, std::string& problem);

}  // namespace quelmar::util
