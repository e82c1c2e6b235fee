// JSON as text, from values that may hold bytes that are not UTF-8 (platform
// answers, file names): rendering them must not throw.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace quelmar::util {

enum class JsonCharset { kUtf8, kAscii };

// Compact JSON; bytes that are not UTF-8 become U+FFFD. kAscii escapes every
// non-ASCII character as \uXXXX, so that no control or bidirectional character
// of a text reaches a terminal raw.
template <typename Json>
std::string dump_json(const Json& value, JsonCharset charset = JsonCharset::kUtf8) {
  return value.dump(-1, ' ', charset == JsonCharset::kAscii, Json::error_handler_t::replace);
}

// A text as it is; any other value as compact JSON. For messages.
template <typename Json>
std::string text_form(const Json& value) {
  return value.is_string() ? value.template get<std::string>() : dump_json(value);
}

}  // namespace quelmar::util
