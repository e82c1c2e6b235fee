#include "quelmar/util/bounded_json.hpp"

namespace quelmar::util {

BoundedJson parse_json_bounded(std::string_view text, int max_depth) {
  using nlohmann::json;
  BoundedJson parsed;
  // Once too deep, every later value is refused too, so that nothing more is built.
  const json::parser_callback_t limit = [&parsed, max_depth](int depth, json::parse_event_t,
                                                             json&) {
    if (depth >= max_depth) parsed.too_deep = true;
    return !parsed.too_deep;
  };
  parsed.value = json::parse(text.begin(), text.end(), limit, false);
  // The parser may hand back what it built before it was stopped.
  if (parsed.too_deep) parsed.value = json(json::value_t::discarded);
  return parsed;
}

}  // namespace quelmar::util
