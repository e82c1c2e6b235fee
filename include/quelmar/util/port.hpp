// A TCP or UDP port written as text (options, inventories, name-server addresses).
#pragma once

#include <optional>
#include <string_view>

namespace quelmar::util {

// The port that `text` spells in decimal digits alone, 1..65535. Signs, spaces, hex, fractions
// and exponents are not ports; a long run of digits is out of range, never wrapped around.
std::optional<int> parse_port(std::string_view text);

}  // namespace quelmar::util
