// Reading a platform record of any shape: a member that is absent, or a value of another type,
// reads as absent and never throws.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quelmar::orchestrate::adapter::json_member {

// value[key], or null when value is null or no object, or has no such member.
inline const nlohmann::json* member(const nlohmann::json* value, const char* key) {
  if (value == nullptr || !value->is_object()) return nullptr;
  auto found = value->find(key);
  return found == value->end() ? nullptr : &*found;
}

inline const nlohmann::json* member(const nlohmann::json& value, const char* key) {
  return member(&value, key);
}

// The value when it is a text.
inline std::optional<std::string> text_of(const nlohmann::json* value) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

inline std::optional<std::string> text_at(const nlohmann::json& value, const char* key) {
  return text_of(member(value, key));
}

}  // namespace quelmar::orchestrate::adapter::json_member
