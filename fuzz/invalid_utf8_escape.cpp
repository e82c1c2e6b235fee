// The reversible escape of names for JSON keys: unescape(escape(x)) == x for all bytes x,
// unescaping arbitrary text never crashes, and the terminal form holds no control byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "quelmar/util/escape.hpp"

namespace util = quelmar::util;
using quelmar::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  require(util::unescape_invalid_utf8(util::escape_invalid_utf8(text)) == text,
          "unescape(escape(x)) == x");
  const std::string unescaped = util::unescape_invalid_utf8(text);
  require(unescaped.size() <= text.size(), "unescaping never lengthens");
  for (const char c : util::escape_for_terminal(text)) {
    const auto byte = static_cast<unsigned char>(c);
    require(byte >= 0x20 && byte != 0x7f, "no control byte reaches a terminal");
  }
  return 0;
}
