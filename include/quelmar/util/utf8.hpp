// UTF-8 decoding, the one strict reading used by validation and escaping alike.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quelmar::util {

struct CodePoint {
  char32_t value = 0;
  std::size_t length = 0;  // bytes of its UTF-8 sequence, 1..4
};

// The code point that `text` starts with, when it starts with a valid UTF-8 sequence: the
// shortest form, no surrogate (U+D800-U+DFFF), at most U+10FFFF. Nothing for empty text.
std::optional<CodePoint> decode_code_point(std::string_view text);

// Whether all of `text` is valid UTF-8 in that sense.
bool is_valid_utf8(std::string_view text);

}  // namespace quelmar::util
