// Builds JSON values from the SAX events of nlohmann's parser, without recursion and with a
// bound on nesting. A reader derived from it decides, value by value, what is kept: a record
// may drop the fields nobody reads before they are built, and a large document may hand over
// the elements of one array as each completes instead of holding them all.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quelmar::util {

class JsonDomBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  using json = nlohmann::json;

  // What becomes of a value that starts.
  enum class Route {
    kKeep,    // built in place
    kDrop,    // never built; a container's contents are skipped
    kStream,  // an array that is not kept: each element goes to take() once complete
    kStop,    // the parse fails here
  };

  static constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

  // More than `max_depth` arrays and objects open at once fail the parse, with too_deep().
  explicit JsonDomBuilder(std::size_t max_depth = kUnbounded) : max_depth_(max_depth) {}

  // The document, without what was dropped or streamed.
  json& document() { return document_; }
  bool too_deep() const { return too_deep_; }

  bool null() final { return value(nullptr); }
  bool boolean(bool v) final { return value(v); }
  bool number_integer(number_integer_t v) final { return value(v); }
  bool number_unsigned(number_unsigned_t v) final { return value(v); }
  bool number_float(number_float_t v, const string_t& /*text*/) final { return value(v); }
  bool string(string_t& v) final { return value(std::move(v)); }
  bool binary(binary_t& v) final { return value(json::binary(std::move(v))); }
  bool start_object(std::size_t /*size*/) final { return open(json::object()); }
  bool start_array(std::size_t /*size*/) final { return open(json::array()); }
  bool end_object() final { return close(); }
  bool end_array() final { return close(); }
  bool key(string_t& k) final;
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) final {
    return false;
  }

 protected:
  // Asked for each value outside dropped ones as it starts: `depth` is the number of arrays and
  // objects around it (0 for the document), `key` its key when it is a member of an object
  // (else null), `kind` its type. kStream means kKeep for anything but an array, and inside an
  // element of a stream (streams do not nest).
  virtual Route route(std::size_t /*depth*/, const std::string* /*key*/, json::value_t /*kind*/) {
    return Route::kKeep;
  }
  // Each element of a streamed array, in order.
  virtual void take(json&& /*element*/) {}

 private:
  struct Level {
    json* value;  // null for a streamed array
    bool stream;
  };

  bool in_stream() const { return !levels_.empty() && levels_.back().stream; }
  const std::string* key_of_next() const;
  json* place(json&& v);
  bool value(json&& v);
  bool open(json&& container);
  bool close();

  json document_;
  json element_;  // the element of the open stream
  std::vector<Level> levels_;
  std::string key_;
  std::size_t skipped_ = 0;  // open containers inside a dropped value
  std::size_t max_depth_;
  bool streaming_ = false;
  bool too_deep_ = false;
};

}  // namespace quelmar::util
