// What the platform's answer to one request means, and the failure of getting none at all.
// See corvane/api.hpp for how answers are classified and what a failure map holds.
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace corvane::api {

// Could not talk to the platform at all (connection refused, TLS, time-out), in the plain form.
// A platform that answered with an error status yields a failure map instead.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What an answer means, decided once for every caller.
enum class Verdict {
  kDone,        // a 2xx answer, other than {"ok": false}
  kRefused,     // the platform said no: a 4xx answer (after the retries for 408 and 429), or a
                // 2xx answer {"ok": false}
  kUnanswered,  // no usable answer: no connection, TLS failure, time-out, 5xx after the
                // retries, a redirect, a body that is malformed, too deep or over the size cap
};

struct Answer {
  Verdict verdict = Verdict::kUnanswered;
  // The HTTP status; 0 when no answer arrived.
  long status = 0;
  // kDone: the platform's answer. Otherwise the failure map (see corvane/api.hpp), or for a
  // 2xx {"ok": false} that answer as it is.
  nlohmann::json value = nlohmann::json::object();

  bool done() const { return verdict == Verdict::kDone; }
  bool refused() const { return verdict == Verdict::kRefused; }
  bool unanswered() const { return verdict == Verdict::kUnanswered; }
  // The platform's reason (or the transport's) as one text; empty when done.
  std::string reason() const;
  // The plain form: `value`; throws Error with the reason when no answer arrived.
  const nlohmann::json& plain() const&;
  nlohmann::json plain() &&;
};

}  // namespace corvane::api
