#include "quelmar/util/relative_path.hpp"

namespace quelmar::util {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> relative_path_problem(std::string_view path, bool root_allowed) {
  if (path.size() > MAX_RELATIVE_PATH_BYTES) {
    return "longer than " + std::to_string(MAX_RELATIVE_PATH_BYTES) + " bytes";
  }
  if (path.find('\0') != std::string_view::npos) return "NUL byte";
  if (path == ".") {
    if (root_allowed) return std::nullopt;
    return "the root itself, not a directory below it";
  }
  if (path.starts_with('/')) return "absolute path";
  if (path.empty()) return "empty component";
  if (path.ends_with('/')) return "trailing /";
  std::size_t components = 0;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view name = path.substr(start, end - start);
    if (name.empty()) return "empty component";
    if (name == "." || name == "..") return ". or .. component";
    if (++components > MAX_RELATIVE_PATH_COMPONENTS) {
      return "more than " + std::to_string(MAX_RELATIVE_PATH_COMPONENTS) + " components";
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string> decode_path_key(std::string_view text, std::string& problem) {
  if (text.find('\\') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (next == '\\' || next == 'n' || next == 'r') {
      out += next == '\\' ? '\\' : next == 'n' ? '\n' : '\r';
      ++i;
    } else if (next == 'x' && i + 3 < text.size() && hex_value(text[i + 2]) >= 0 &&
               hex_value(text[i + 3]) >= 0) {
      const auto byte = static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3]));
      if (byte == '\0' || byte == '/') {
        problem = "unknown escape: an x escape cannot stand for a NUL byte or /";
        return std::nullopt;
      }
      out += byte;
      i += 3;
    } else {
      problem =
          "unknown escape: a backslash must be followed by another backslash, n, r, or x and "
          "two hexadecimal digits";
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace quelmar::util
