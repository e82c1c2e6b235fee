#include "corvane/answer.hpp"

#include <utility>

#include "quelmar/util/json_text.hpp"

namespace corvane::api {

using nlohmann::json;

std::string Answer::reason() const {
  if (done()) return {};
  if (value.is_object()) {
    auto error = value.find("error");
    if (error != value.end()) {
      return error->is_string() ? error->get<std::string>() : quelmar::util::dump_json(*error);
    }
  }
  return "the platform answered " + quelmar::util::dump_json(value);
}

const json& Answer::plain() const& {
  if (status == 0) throw Error(reason());
  return value;
}

json Answer::plain() && {
  (void)plain();  // throws when no answer arrived
  return std::move(value);
}

}  // namespace corvane::api
