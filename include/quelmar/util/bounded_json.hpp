// JSON text from outside (platform answers, request bodies, files), parsed with a bound on its
// nesting: the parser keeps its own stack, but whatever later walks or renders the value
// recursively could exhaust the process's.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace quelmar::util {

struct BoundedJson {
  // Discarded (is_discarded()) when the text is malformed or nested too deeply.
  nlohmann::json value;
  bool too_deep = false;
};

// `text` parsed; too deep once anything in it stands inside `max_depth` nested arrays or
// objects (an empty innermost one does not count). Never throws for what the text holds.
BoundedJson parse_json_bounded(std::string_view text, int max_depth);

}  // namespace quelmar::util
