// "Did you mean ...?": the known name closest to a mistyped one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar::util {

// Edits (insert, delete, replace a character, or swap two neighbours) that turn `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b);

// The name closest to `typed` (the first of equally close ones), when it is close: at most two
// edits, and at most half the name's length.
std::optional<std::string> closest_name(std::string_view typed,
                                        const std::vector<std::string>& names);

}  // namespace quelmar::util
