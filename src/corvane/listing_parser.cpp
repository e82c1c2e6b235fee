#include "listing_parser.hpp"

#include <simdjson.h>

#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "answer_mapping.hpp"
#include "quelmar/util/json_dom_builder.hpp"
#include "quelmar/util/json_text.hpp"

namespace corvane::api::listing {

namespace {

using nlohmann::json;

// The fields of a machine record that are kept; the whole value of each.
constexpr std::array<std::string_view, 7> kKeptFields{
    "id", "name", "state", "region", "instance_id", "private_ip", "config"};

// Enough of the body to quote in a message.
constexpr std::size_t kHeadBytes = 512;

// The bytes that matter to cutting records apart, outside texts.
constexpr auto kStructural = [] {
  std::array<bool, 256> table{};
  for (const unsigned char c : std::string_view("\"{}[]")) table[c] = true;
  return table;
}();

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

bool is_kept_field(std::string_view key) {
  for (const auto field : kKeptFields) {
    if (field == key) return true;
  }
  return false;
}

// A parsed value as the client hands it over; false when it holds something the client reads
// differently (a number beyond 64 bits), which is then parsed again the slow way.
bool convert(simdjson::dom::element from, json& to) {
  using simdjson::dom::element_type;
  switch (from.type()) {
    case element_type::OBJECT: {
      to = json::object();
      const simdjson::dom::object object = from.get_object().value_unsafe();
      for (const auto field : object) {
        if (!convert(field.value, to[std::string(field.key)])) return false;
      }
      return true;
    }
    case element_type::ARRAY: {
      to = json::array();
      const simdjson::dom::array array = from.get_array().value_unsafe();
      for (const auto element : array) {
        if (!convert(element, to.emplace_back())) return false;
      }
      return true;
    }
    case element_type::STRING:
      to = std::string(from.get_string().value_unsafe());
      return true;
    case element_type::INT64: {
      // Like the client's other parser: whole numbers that are not negative are unsigned.
      const std::int64_t number = from.get_int64().value_unsafe();
      to = number < 0 ? json(number) : json(static_cast<std::uint64_t>(number));
      return true;
    }
    case element_type::UINT64:
      to = from.get_uint64().value_unsafe();
      return true;
    case element_type::DOUBLE:
      to = from.get_double().value_unsafe();
      return true;
    case element_type::BOOL:
      to = from.get_bool().value_unsafe();
      return true;
    case element_type::NULL_VALUE:
      to = nullptr;
      return true;
  }
  return false;
}

// Builds one record while it is parsed, dropping the fields nobody reads (events, checks, the
// image reference...) before they are ever built.
class RecordBuilder final : public quelmar::util::JsonDomBuilder {
 protected:
  Route route(std::size_t depth, const std::string* key, json::value_t /*kind*/) override {
    return depth == 1 && key != nullptr && !is_kept_field(*key) ? Route::kDrop : Route::kKeep;
  }
};

}  // namespace

struct Reader::Fast {
  simdjson::dom::parser parser{kMaxRecordBytes};
};

Reader::Reader(std::function<void(json&&)> take)
    : take_(std::move(take)), fast_(std::make_unique<Fast>()) {
  // Room for the fast parser to read past the end of the longest record, so that no record is
  // ever copied to make it.
  record_.reserve(kMaxRecordBytes + simdjson::SIMDJSON_PADDING);
}

Reader::~Reader() = default;

// The fast parser first; whatever it does not take (a number beyond 64 bits, or a record that
// is not JSON) goes to the parser that has the last word.
bool Reader::parse_record(json& record) {
  simdjson::dom::element parsed;
  if (fast_->parser.parse(record_).get(parsed) == simdjson::SUCCESS) {
    bool whole = true;
    if (parsed.is_object()) {
      record = json::object();
      const simdjson::dom::object object = parsed.get_object().value_unsafe();
      for (const auto field : object) {
        if (is_kept_field(field.key) && !convert(field.value, record[std::string(field.key)])) {
          whole = false;
          break;
        }
      }
    } else {
      whole = convert(parsed, record);
    }
    if (whole) return true;
  }
  // The slow parser takes a NUL for the end of the text and would accept what follows it; JSON
  // holds no NUL byte.
  if (record_.find('\0') != std::string::npos) return false;
  RecordBuilder builder;
  if (!json::sax_parse(record_.data(), record_.data() + record_.size(), &builder)) return false;
  record = std::move(builder.document());
  return true;
}

bool Reader::fail(Answer answer) {
  failure_ = std::move(answer);
  state_ = State::kFailed;
  return false;
}

bool Reader::malformed() {
  return fail(
      answers::unusable(status_, "malformed JSON in response: " + answers::truncated(head_)));
}

bool Reader::start_element(char c) {
  record_.clear();
  depth_ = 0;
  in_string_ = false;
  escaped_ = false;
  scalar_ = c != '{' && c != '[' && c != '"';
  state_ = State::kInElement;
  return true;
}

std::size_t Reader::scan_element(std::string_view bytes, std::size_t at) {
  const char* const data = bytes.data();
  const char* const end = data + bytes.size();
  const char* p = data + at;
  const auto keep = [&](const char* upto) {
    const auto count = static_cast<std::size_t>(upto - (data + at));
    if (record_.size() + count > kMaxRecordBytes) {
      return fail(answers::unusable(status_, "a machine record in the listing is larger than " +
                                                 std::to_string(kMaxRecordBytes >> 20) + " MiB"));
    }
    record_.append(data + at, count);
    return true;
  };
  // Ends the element before `upto`; the caller carries on from there.
  const auto done = [&](const char* upto) {
    if (keep(upto)) element_done();
    return static_cast<std::size_t>(upto - data);
  };
  while (p < end) {
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
        ++p;
        continue;
      }
      // Texts are most of a record: skipped with memchr rather than byte by byte.
      const auto* quote = static_cast<const char*>(std::memchr(p, '"', end - p));
      const char* stop = quote != nullptr ? quote : end;
      const auto* backslash = static_cast<const char*>(std::memchr(p, '\\', stop - p));
      if (backslash != nullptr) {
        escaped_ = true;
        p = backslash + 1;
        continue;
      }
      if (quote == nullptr) break;
      in_string_ = false;
      p = quote + 1;
      if (depth_ == 0) return done(p);  // the element was a text
      continue;
    }
    if (scalar_) {
      if (*p == ',' || *p == ']' || is_space(*p)) return done(p);
      ++p;
      continue;
    }
    while (p < end && !kStructural[static_cast<unsigned char>(*p)]) ++p;
    if (p == end) break;
    switch (*p) {
      case '"':
        in_string_ = true;
        break;
      case '{':
      case '[':
        // The listing's own array counts as a level.
        if (++depth_ + 1 > static_cast<std::size_t>(answers::kMaxAnswerDepth)) {
          fail({Verdict::kUnanswered, status_, json{{"error", "answer nested too deeply"}}});
          return bytes.size();
        }
        break;
      default:  // '}' or ']'
        if (depth_ > 0 && --depth_ == 0) return done(p + 1);
        break;
    }
    ++p;
  }
  keep(end);
  return bytes.size();
}

bool Reader::element_done() {
  json record;
  if (!parse_record(record)) return malformed();
  state_ = State::kAfterElement;
  take_(std::move(record));
  return true;
}

bool Reader::feed(long status, std::string_view bytes) {
  status_ = status;
  if (head_.size() < kHeadBytes) head_.append(bytes.substr(0, kHeadBytes - head_.size()));
  std::size_t i = 0;
  while (i < bytes.size() && state_ != State::kFailed) {
    if (state_ == State::kInElement) {
      i = scan_element(bytes, i);
      continue;
    }
    if (state_ == State::kNotArray) {
      // Kept only to say what came instead of a list.
      const std::size_t room = kMaxRecordBytes - std::min(kMaxRecordBytes, record_.size());
      record_.append(bytes.substr(i, room));
      break;
    }
    const char c = bytes[i];
    if (is_space(c)) {
      ++i;
      continue;
    }
    switch (state_) {
      case State::kBeforeArray:
        if (c == '[') {
          state_ = State::kFirstElement;
          ++i;
        } else {
          state_ = State::kNotArray;
          record_.clear();
        }
        break;
      case State::kFirstElement:
        if (c == ']') {
          state_ = State::kAfterArray;
          ++i;
        } else {
          start_element(c);
        }
        break;
      case State::kNextElement:
        start_element(c);
        break;
      case State::kAfterElement:
        if (c == ',') {
          state_ = State::kNextElement;
        } else if (c == ']') {
          state_ = State::kAfterArray;
        } else {
          return malformed();
        }
        ++i;
        break;
      default:  // kAfterArray: only white space may follow
        return malformed();
    }
  }
  return state_ != State::kFailed;
}

Answer Reader::finish(const transport::Response& response) {
  if (failure_) return *failure_;
  const long status = response.status;
  if (status < 200 || status > 299) return answers::failed(response);
  switch (state_) {
    case State::kAfterArray:
      return {Verdict::kDone, status, json::array()};
    case State::kNotArray: {
      const answers::Parsed parsed = answers::parse(record_);
      if (parsed.too_deep) {
        return {Verdict::kUnanswered, status, json{{"error", "answer nested too deeply"}}};
      }
      if (!parsed.value.is_discarded()) {
        return answers::unusable(status,
                                 "expected a list of machines, got: " +
                                     answers::truncated(quelmar::util::dump_json(parsed.value)));
      }
      break;
    }
    default:
      break;
  }
  malformed();
  return *failure_;
}

}  // namespace corvane::api::listing
