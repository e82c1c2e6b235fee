#include "quelmar/util/control_characters.hpp"

#include <algorithm>

namespace quelmar::util {

bool has_control_character(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

}  // namespace quelmar::util
