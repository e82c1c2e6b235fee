#include "quelmar/orchestrate/adapter/machine_answer.hpp"

#include "json_member.hpp"

namespace quelmar::orchestrate::adapter::machine_answer {

namespace {

using nlohmann::json;

using json_member::member;
using json_member::text_at;

}  // namespace

std::optional<std::string> machine_id(const json& answer) { return text_at(answer, "id"); }

std::optional<std::string> instance_id(const json& answer) {
  return text_at(answer, "instance_id");
}

const json* state(const json& answer) { return member(answer, "state"); }

}  // namespace quelmar::orchestrate::adapter::machine_answer
