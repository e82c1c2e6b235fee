// The machine listing read as it arrives: the top-level array is cut into its records while the
// bytes come in, and each record is parsed and handed over on its own, keeping only the fields
// callers read. Neither the body nor the fleet ever exists as a whole, so the listing has no
// size limit; each record does.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "corvane/answer.hpp"
#include "transport.hpp"

namespace corvane::api::listing {

// A machine record longer than this fails the listing: no record needs it, and it bounds what
// one record may cost.
inline constexpr std::size_t kMaxRecordBytes = 1u << 20;

class Reader {
 public:
  // Each element of the top-level array goes to `take`, keeping id, name, state, region,
  // instance_id, private_ip and the whole config.
  explicit Reader(std::function<void(nlohmann::json&&)> take);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The next bytes of a 2xx body of `status`. False once the listing is known to be unusable.
  bool feed(long status, std::string_view bytes);

  // The answer to the exchange: done with an empty array as value once the whole body was a
  // list; otherwise the records handed over so far are no listing.
  Answer finish(const transport::Response& response);

 private:
  enum class State {
    kBeforeArray,
    kFirstElement,
    kNextElement,
    kInElement,
    kAfterElement,
    kAfterArray,
    kNotArray,
    kFailed
  };

  bool fail(Answer answer);
  bool malformed();
  bool start_element(char c);
  // Scans an element from bytes[at]; returns where it stopped (bytes.size() when it goes on).
  std::size_t scan_element(std::string_view bytes, std::size_t at);
  bool element_done();
  bool parse_record(nlohmann::json& record);

  struct Fast;

  std::function<void(nlohmann::json&&)> take_;
  State state_ = State::kBeforeArray;
  long status_ = 200;
  std::string head_{};     // the body's first bytes, quoted should it not be JSON
  std::string record_{};   // the element being cut out
  std::size_t depth_ = 0;  // open containers inside the element
  bool in_string_ = false;
  bool escaped_ = false;
  bool scalar_ = false;  // an element that is neither a container nor a text
  std::optional<Answer> failure_{};
  std::unique_ptr<Fast> fast_;
};

}  // namespace corvane::api::listing
