// The fields this program reads from the platform's answers about one machine (create, update,
// get, wait), read in one place so that no caller needs the answers' JSON shape.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quelmar::orchestrate::adapter::machine_answer {

// The machine's id ("id"); absent unless it is text.
std::optional<std::string> machine_id(const nlohmann::json& answer);
// The machine's version ("instance_id"); absent unless it is text.
std::optional<std::string> instance_id(const nlohmann::json& answer);
// The state the answer names ("state") as sent, of any type; null when it names none.
const nlohmann::json* state(const nlohmann::json& answer);

}  // namespace quelmar::orchestrate::adapter::machine_answer
