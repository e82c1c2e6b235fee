// Test names for value-parameterized suites whose values are texts.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace quelmar::testing {

// A valid, readable and distinct name for a text: letters and digits stay,
// every other byte becomes "_xHH"; the empty text is "empty".
inline std::string param_name(std::string_view text) {
  if (text.empty()) return "empty";
  std::string name;
  for (const char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (plain) {
      name += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "_x%02x", static_cast<unsigned char>(c));
      name += hex;
    }
  }
  return name;
}

}  // namespace quelmar::testing
