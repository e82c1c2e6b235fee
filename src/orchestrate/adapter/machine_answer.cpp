#include "quelmar/orchestrate/adapter/machine_answer.hpp"

namespace quelmar::orchestrate::adapter::machine_answer {

namespace {

using nlohmann::json;

const json* member(const json& answer, const char* key) {
  if (!answer.is_object()) return nullptr;
  auto found = answer.find(key);
  return found == answer.end() ? nullptr : &*found;
}

std::optional<std::string> text_at(const json& answer, const char* key) {
  const json* value = member(answer, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

}  // namespace

std::optional<std::string> machine_id(const json& answer) { return text_at(answer, "id"); }

std::optional<std::string> instance_id(const json& answer) {
  return text_at(answer, "instance_id");
}

const json* state(const json& answer) { return member(answer, "state"); }

}  // namespace quelmar::orchestrate::adapter::machine_answer
