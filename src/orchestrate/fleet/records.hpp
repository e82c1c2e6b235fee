// Reading the fields of a listed machine record that the fleet compares and acts on. Records
// come from the platform, so every accessor copes with a missing or mistyped field.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quelmar::orchestrate::fleet::records {

// record[key] when it is a text.
std::optional<std::string> text_at(const nlohmann::json& record, const char* key);
// config[section][key] when it is a text ("metadata", "env").
std::optional<std::string> config_text(const nlohmann::json& record, const char* section,
                                       const char* key);
// The first service's first port, when it is an integer in 1..65535.
std::optional<int> first_port(const nlohmann::json& record);
// A text or compact JSON, for messages.
std::string text_form(const nlohmann::json& value);

}  // namespace quelmar::orchestrate::fleet::records
