#include "quelmar/util/lower.hpp"

namespace quelmar::util {

std::string lower(std::string_view text) {
  std::string result(text);
  // Not std::tolower: its answer depends on the locale.
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

}  // namespace quelmar::util
