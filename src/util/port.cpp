#include "quelmar/util/port.hpp"

namespace quelmar::util {

std::optional<int> parse_port(std::string_view text) {
  constexpr int kMaxPort = 65535;
  if (text.empty()) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > kMaxPort) return std::nullopt;  // before it can grow further
  }
  if (value < 1) return std::nullopt;
  return value;
}

}  // namespace quelmar::util
