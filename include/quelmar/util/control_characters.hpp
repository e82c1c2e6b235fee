// Control characters in text that names things (ids, tokens, inventory values).
#pragma once

#include <string_view>

namespace quelmar::util {

// Whether `text` holds a C0 control character (0x00-0x1f) or DEL (0x7f).
bool has_control_character(std::string_view text);

}  // namespace quelmar::util
