#include "quelmar/util/escape.hpp"

#include <cstdint>
#include <cstdio>

#include "quelmar/util/utf8.hpp"

namespace quelmar::util {

namespace {

void append_byte_escape(std::string& out, unsigned char byte) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
  out += escaped;
}

bool is_hidden_format(char32_t c) {
  return (c >= 0x80 && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) ||
         c == 0x2028 || c == 0x2029;
}

template <typename Escape>
std::string escape_each(std::string_view text, Escape&& escape_code_point) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto code_point = decode_code_point(text);
    if (!code_point) {
      append_byte_escape(out, static_cast<unsigned char>(text.front()));
      text.remove_prefix(1);
      continue;
    }
    const auto [c, length] = *code_point;
    if (c == '\\') {
      out += "\\\\";
    } else if (!escape_code_point(out, c)) {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string escape_for_terminal(std::string_view text) {
  return escape_each(text, [](std::string& out, char32_t c) {
    if (c < 0x20 || c == 0x7f) {
      append_byte_escape(out, static_cast<unsigned char>(c));
      return true;
    }
    if (is_hidden_format(c)) {
      char escaped[16];
      std::snprintf(escaped, sizeof escaped, "\\u{%04X}", static_cast<std::uint32_t>(c));
      out += escaped;
      return true;
    }
    return false;
  });
}

std::string escape_invalid_utf8(std::string_view text) {
  return escape_each(text, [](std::string&, char32_t) { return false; });
}

std::string unescape_invalid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      if (text[i + 1] == '\\') {
        out += '\\';
        ++i;
        continue;
      }
      if (text[i + 1] == 'x' && i + 3 < text.size()) {
        const int high = hex_digit(text[i + 2]);
        const int low = hex_digit(text[i + 3]);
        if (high >= 0 && low >= 0) {
          out += static_cast<char>(high * 16 + low);
          i += 3;
          continue;
        }
      }
    }
    out += text[i];
  }
  return out;
}

}  // namespace quelmar::util
