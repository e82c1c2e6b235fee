// The machine listing, read record by record from a body that arrives in pieces: any bytes give
// a listing or a failure, never a crash, and a listing is exactly what a whole-document parse
// of the same body holds, each record cut to the fields callers read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "check.hpp"
#include "corvane/listing_parser.hpp"
#include "quelmar/util/bounded_json.hpp"

using nlohmann::json;
using quelmar::fuzz::require;

namespace {

// What the listing keeps of one element of the array.
json kept_fields(const json& element) {
  if (!element.is_object()) return element;
  json kept = json::object();
  for (const char* key : {"id", "name", "state", "region", "instance_id", "private_ip", "config"}) {
    if (element.contains(key)) kept[key] = element[key];
  }
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets where the body is cut into pieces, so that values straddle the seams.
  const std::size_t piece = 1 + data[0] % 64;
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  corvane::api::transport::Response response;
  response.status = 200;
  json taken = json::array();
  corvane::api::listing::Reader reader(
      [&taken](json&& record) { taken.push_back(std::move(record)); });
  for (std::size_t at = 0; at < body.size(); at += piece) {
    if (!reader.feed(200, std::string_view(body).substr(at, piece))) break;
  }
  const corvane::api::Answer answer = reader.finish(response);

  const auto [whole, too_deep] = quelmar::util::parse_json_bounded(body, 128);
  // The whole-document parser stops at a NUL as if the text ended there; JSON holds none.
  const bool has_nul = body.find('\0') != std::string::npos;
  const bool a_listing = !has_nul && !too_deep && !whole.is_discarded() && whole.is_array();
  require(answer.done() == a_listing, "a body is a listing exactly when it parses as an array");
  if (!a_listing) {
    require(answer.unanswered() && answer.value.contains("error"), "no listing is unanswered");
    return 0;
  }
  require(taken.size() == whole.size(), "every element is handed over once");
  for (std::size_t i = 0; i < whole.size(); ++i) {
    require(taken[i] == kept_fields(whole[i]), "a record is its element with the kept fields");
  }
  return 0;
}
