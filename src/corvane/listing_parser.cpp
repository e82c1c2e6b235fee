#include "listing_parser.hpp"

#include <array>
#include <istream>
#include <streambuf>
#include <string_view>

#include "answer_mapping.hpp"
#include "quelmar/util/json_text.hpp"

namespace corvane::api::listing {

namespace {

using nlohmann::json;

// The fields of a machine record that are kept; the whole value of each.
constexpr std::array<std::string_view, 7> kKeptFields{
    "id", "name", "state", "region", "instance_id", "private_ip", "config"};

// Reads a body kept in pieces as a stream, freeing every piece but the first once it has been
// read; the first is kept to quote from should the body turn out not to be JSON.
class PieceReader final : public std::streambuf {
 public:
  explicit PieceReader(std::vector<std::string>& pieces) : pieces_(pieces) {}

 protected:
  int_type underflow() override {
    if (next_ > 1) std::string().swap(pieces_[next_ - 1]);
    if (next_ >= pieces_.size()) return traits_type::eof();
    std::string& piece = pieces_[next_++];
    setg(piece.data(), piece.data(), piece.data() + piece.size());
    return piece.empty() ? underflow() : traits_type::to_int_type(piece.front());
  }

 private:
  std::vector<std::string>& pieces_;
  std::size_t next_ = 0;
};

// Builds each record while it is parsed, dropping the fields nobody reads (events, checks, the
// image reference...) before they are ever built.
class Listing final : public nlohmann::json_sax<json> {
 public:
  explicit Listing(const std::function<void(json&&)>& take) : take_(take) {}

  json result;  // the top-level value, with the records handed over removed
  bool too_deep = false;

  bool null() override { return value(nullptr); }
  bool boolean(bool v) override { return value(v); }
  bool number_integer(number_integer_t v) override { return value(v); }
  bool number_unsigned(number_unsigned_t v) override { return value(v); }
  bool number_float(number_float_t v, const string_t& /*text*/) override { return value(v); }
  bool string(string_t& v) override { return value(std::move(v)); }
  bool binary(binary_t& v) override { return value(json::binary(std::move(v))); }
  bool start_object(std::size_t /*size*/) override { return open(json::object()); }
  bool start_array(std::size_t /*size*/) override { return open(json::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& k) override {
    if (skipped_ == 0) {
      keep_next_ = stack_.size() != 2 || is_kept_field(k);
      key_ = std::move(k);
    }
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    return false;
  }

 private:
  static bool is_kept_field(std::string_view key) {
    for (const auto field : kKeptFields) {
      if (field == key) return true;
    }
    return false;
  }

  // Where a new value goes; null when it is dropped.
  json* place(json&& v) {
    if (stack_.empty()) {
      result = std::move(v);
      return &result;
    }
    json& parent = *stack_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(v));
      return &parent.back();
    }
    if (!keep_next_) return nullptr;
    json& slot = parent[key_];
    slot = std::move(v);
    return &slot;
  }

  // Whether the value now completed is an element of the top-level array, to be handed over.
  bool hands_over() const { return stack_.size() == 1 && stack_.front()->is_array(); }

  bool value(json&& v) {
    if (skipped_ > 0) return true;
    if (hands_over()) {
      take_(std::move(v));
    } else {
      place(std::move(v));
    }
    return true;
  }

  bool open(json&& container) {
    if (++depth_ > static_cast<std::size_t>(answers::kMaxAnswerDepth)) {
      too_deep = true;
      return false;
    }
    if (skipped_ > 0) {
      ++skipped_;
      return true;
    }
    json* placed = place(std::move(container));
    if (placed == nullptr) {
      skipped_ = 1;
    } else {
      stack_.push_back(placed);
    }
    return true;
  }

  bool close() {
    --depth_;
    if (skipped_ > 0) {
      --skipped_;
      return true;
    }
    stack_.pop_back();
    if (hands_over()) {
      take_(std::move(result.back()));
      result.erase(result.size() - 1);
    }
    return true;
  }

  const std::function<void(json&&)>& take_;
  std::vector<json*> stack_;
  std::size_t depth_ = 0;    // every open container, kept or dropped
  std::size_t skipped_ = 0;  // open containers inside a dropped value
  std::string key_;
  bool keep_next_ = true;
};

}  // namespace

Answer read(transport::Response& response, const std::function<void(json&&)>& take) {
  const long status = response.status;
  if (status < 200 || status > 299) {
    for (const std::string& piece : response.pieces) response.body += piece;
    return answers::failed(response);
  }
  Listing listing(take);
  PieceReader reader(response.pieces);
  std::istream stream(&reader);
  const bool parsed = json::sax_parse(stream, &listing);
  if (listing.too_deep) {
    return {Verdict::kUnanswered, status, json{{"error", "answer nested too deeply"}}};
  }
  if (!parsed) {
    const std::string quoted = response.pieces.empty() ? "" : response.pieces.front();
    return answers::unusable(status, "malformed JSON in response: " + answers::truncated(quoted));
  }
  if (!listing.result.is_array()) {
    return answers::unusable(status,
                             "expected a list of machines, got: " +
                                 answers::truncated(quelmar::util::dump_json(listing.result)));
  }
  return {Verdict::kDone, status, json::array()};
}

}  // namespace corvane::api::listing
