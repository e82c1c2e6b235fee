#include "quelmar/util/truncate.hpp"

#include "quelmar/util/utf8.hpp"

namespace quelmar::util {

std::string truncated(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  std::size_t kept = 0;
  while (kept < max_bytes) {
    const auto code_point = decode_code_point(text.substr(kept));
    const std::size_t length = code_point ? code_point->length : 1;
    if (kept + length > max_bytes) break;
    kept += length;
  }
  return std::string(text.substr(0, kept)) + "...";
}

}  // namespace quelmar::util
