#include "quelmar/util/decimal.hpp"

#include <limits>

namespace quelmar::util {

std::string to_string(DecimalRange range) {
  return std::to_string(range.min) + ".." + std::to_string(range.max);
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, DecimalRange range) {
  if (text.empty() || (text.size() > 1 && text.front() == '0')) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value < range.min || value > range.max) return std::nullopt;
  return value;
}

}  // namespace quelmar::util
