#include "quelmar/util/utf8.hpp"

namespace quelmar::util {

std::optional<CodePoint> decode_code_point(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return CodePoint{lead, 1};
  std::size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;
  // 0xc0, 0xc1 and 0xf5..0xff never start a valid sequence.
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    value = lead & 0x1fu;
    least = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    value = lead & 0x0fu;
    least = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    value = lead & 0x07u;
    least = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0u) != 0x80) return std::nullopt;
    value = (value << 6) | (byte(i) & 0x3fu);
  }
  if (value < least || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) {
    return std::nullopt;
  }
  return CodePoint{value, length};
}

bool is_valid_utf8(std::string_view text) {
  while (!text.empty()) {
    const auto code_point = decode_code_point(text);
    if (!code_point) return false;
    text.remove_prefix(code_point->length);
  }
  return true;
}

}  // namespace quelmar::util
