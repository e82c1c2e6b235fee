// Client for the Fly Machines REST API (v1).
//
// Every answer is classified once, by one rule (see Verdict), where the client maps the HTTP
// exchange to a result. Each operation comes in two forms:
// - the plain form (list, create, start, ...) returns the platform's JSON answer (an empty 2xx
//   body becomes `{}`), or a failure map holding the key "error" when the platform refused the
//   request or answered with something unusable, and throws Error when no answer arrived at all;
// - the `*_machine(s)` form returns an Answer: the same value together with its verdict.
// A refusal's own {"error": ...} body is kept as it is; other failures become
// {"error": "HTTP <status>: <message, text or reason>"}. An answer nested more than 128 levels
// deep is not parsed: it becomes {"error": "answer nested too deeply"}.
//
// Answers are data: kept and handed back exactly as the platform sent them. Nothing in them is
// redacted; text is redacted where it leaves the program (quelmar/util/secrets.hpp).
//
// Retries: on 429 every request is re-sent; on 5xx only the idempotent ones (list, get, start,
// stop, wait, destroy), never create or update. Each retry sleeps an exponential back-off with
// jitter, or what `Retry-After` asks for; every sleep is capped at `max_backoff`, whatever the
// header says.
//
// Bad arguments throw std::invalid_argument before anything is sent: an app name or machine id
// that is empty, "." or ".." (also as a part between '/' or '\', in case a server decodes
// them), or holds a control character (any other character is percent-encoded, and the path is
// sent as it is, never normalised); a token with control characters; a port outside 1..65535;
// non-object maps; a base URL that is not http(s), or is http:// for a host other than
// loopback (127.0.0.0/8, ::1, localhost), since the token would travel in clear text.
//
// Transport: the peer and its host name are always verified, against the system's CA store or
// `ClientOptions::ca_file`. An http:// URL never goes through a proxy (the token would travel in
// clear text); https:// follows the usual proxy variables. Redirects are never followed.
//
// One API object keeps one connection open across its calls; it is not safe to share it between
// threads without locking.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/answer.hpp"

namespace corvane::api {

// Region used when the caller names none.
inline constexpr const char* FLY_REGION_DEFAULT = "iad";

struct ClientOptions {
  std::string base_url = "https://api.machines.dev";
  // PEM file of the CA certificates that verify the server. Absent: the system's store.
  std::optional<std::string> ca_file{};
  std::chrono::milliseconds connect_timeout{10'000};
  std::chrono::milliseconds request_timeout{30'000};
  // The wait request asks the platform to hold for this many seconds (1..60);
  // its transfer time-out is set longer than that.
  int wait_timeout_seconds = 60;
  // How much longer than `wait_timeout_seconds` the wait request may take in transfer.
  std::chrono::seconds wait_grace{30};
  // Budget for re-sending a wait that answered 408, counted in the hold time asked for: the
  // wait is sent at most ceil(wait_total / wait_timeout_seconds) times (at least once).
  std::chrono::seconds wait_total{300};
  // Retries after the first attempt on 429/5xx.
  int max_retries = 4;
  std::chrono::milliseconds initial_backoff{500};
  std::chrono::milliseconds max_backoff{30'000};
  // Seam for tests: how the client sleeps between retries. Empty: a real sleep.
  std::function<void(std::chrono::milliseconds)> sleep{};
  // Once it returns true, a wait in progress ends at once (its request under way too) as
  // unanswered ("interrupted"), and no further wait request is sent. Other requests finish.
  std::function<bool()> waits_cancelled{};
};

struct CreateOptions {
  // Each present port becomes one raw-TCP service exposing that port, in this order; with only
  // `additional_internal_port` there is a single service, for it.
  std::optional<int> port{};
  std::optional<int> additional_internal_port{};
  std::string name{};
  nlohmann::json env_vars = nlohmann::json::object();
  nlohmann::json metadata = nlohmann::json::object();
  // Entries go to the top level of the request body (e.g. "region"); a "config" object entry is
  // merged into the machine config instead of replacing it.
  nlohmann::json extra_config = nlohmann::json::object();
};

// The body of a create request: {"name", "config": {"image", "init": {"cmd"}, "env", "metadata",
// "services"}, and the extra_config entries}. Throws std::invalid_argument for bad options.
nlohmann::json create_body(const std::string& image, const std::vector<std::string>& cmd,
                           const CreateOptions& options);

class API {
 public:
  explicit API(std::string api_token, ClientOptions options = {});
  ~API();
  API(API&&) noexcept;
  API& operator=(API&&) noexcept;
  API(const API&) = delete;
  API& operator=(const API&) = delete;

  // --- the plain form ---

  // A JSON array of machine records. An empty region lists every region.
  nlohmann::json list(const std::string& app, const std::string& region);
  nlohmann::json create(const std::string& app, const std::string& image,
                        const std::vector<std::string>& cmd, const CreateOptions& options);
  nlohmann::json start(const std::string& app, const std::string& id);
  nlohmann::json stop(const std::string& app, const std::string& id);
  nlohmann::json get(const std::string& app, const std::string& id);
  // Long-polls until the machine is in `state`, re-sending on 408 within `wait_total`; then
  // the 408's failure map. An empty instance_id is left out of the request.
  nlohmann::json wait(const std::string& app, const std::string& id, const std::string& instance_id,
                      const std::string& state);
  // The platform documents no region for destroy, so `region` is accepted but not sent.
  nlohmann::json destroy(const std::string& app, const std::string& id, bool force,
                         const std::string& region);

  // --- the classified form ---

  // The listing handed to `take` one record at a time, in listing order, as each is parsed, so
  // that a large fleet never exists as a whole. Each record keeps id, name, state, region,
  // instance_id, private_ip and its whole config; other fields are dropped. An empty region
  // lists every region. When the answer is not done, the records handed over so far are no
  // listing and must be discarded. The body is never held whole, so the listing has no size
  // limit; a record longer than 1 MiB fails it. `request_timeout` bounds a stall (no byte for
  // that long), not the whole transfer.
  Answer list_machines(const std::string& app, const std::string& region,
                       const std::function<void(nlohmann::json&&)>& take);
  // Sends a body made by create_body (or read back from a saved plan) as it is.
  Answer create_machine(const std::string& app, const nlohmann::json& body);
  Answer start_machine(const std::string& app, const std::string& id);
  Answer stop_machine(const std::string& app, const std::string& id);
  Answer get_machine(const std::string& app, const std::string& id);
  Answer wait_machine(const std::string& app, const std::string& id, const std::string& instance_id,
                      const std::string& state);
  Answer destroy_machine(const std::string& app, const std::string& id, bool force);
  // Replaces the machine's whole config. A non-empty `current_version` (the listed
  // instance_id) makes the platform refuse the update when the machine changed meanwhile.
  // Re-sent on 429 only, like create.
  Answer update_machine(const std::string& app, const std::string& id, const nlohmann::json& config,
                        const std::string& current_version);

 private:
  struct Impl;
  Impl& impl();  // throws std::logic_error on a moved-from client
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::api
