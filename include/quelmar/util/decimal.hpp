// Whole numbers an operator writes on a command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quelmar::util {

struct DecimalRange {
  std::uint64_t min = 0;
  std::uint64_t max = 0;
};

// "0..1000000"
std::string to_string(DecimalRange range);

// The number `text` spells in ASCII decimal digits alone, when it lies in `range`. Signs,
// spaces, hex and fractions are refused, and so are leading zeros ("010" reads as eight to a
// shell or C, as ten to others); a run of digits too long for 64 bits is out of range, never
// wrapped around.
std::optional<std::uint64_t> parse_decimal(std::string_view text, DecimalRange range);

}  // namespace quelmar::util
