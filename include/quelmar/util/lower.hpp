// ASCII lower case, for names compared without regard to case (DNS names,
// header names, state names).
#pragma once

#include <string>
#include <string_view>

namespace quelmar::util {

// Only A-Z change; every other byte, UTF-8 included, passes unchanged.
std::string lower(std::string_view text);

}  // namespace quelmar::util
