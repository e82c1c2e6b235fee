// An in-memory stand-in for the Fly Machines API (v1), served over HTTP on loopback, or over
// HTTPS when given a certificate and key.
//
// Behaviour in brief:
// - Every request needs `Authorization: Bearer <token>` or `Authorization: <token>` when the
//   token itself starts with "FlyV1 "; otherwise 401 {"error": ...}.
// - Listings hold every region unless the request names one ("region").
// - Apps are known when named in the options, added with add_app(), or seeded with machines.
//   Requests for an unknown app or machine answer 404 {"error": ...}.
// - State moves: create answers "created" and the machine is "started" afterwards (it stays
//   "created" with "skip_launch": true); stop shows "stopping" to the next read (get or list),
//   then "stopped"; start makes it "started" at once; destroy shows it as "destroyed" to the
//   next `destroyed_listings` listings (0: gone from the list at once) and to the next get,
//   then 404.
// - Wait answers {"ok":true,"state":S} when the machine is in S (a pending stop counts as
//   stopped), otherwise holds up to the wait hold (default: the requested timeout) and answers
//   408 {"error": ...}. 400 when timeout is outside 1..60 or state=stopped lacks instance_id.
// - Update (POST .../machines/ID) replaces the config and gives a new "instance_id"; the machine
//   shows "replacing" to the answer and the next read, then "started". A "current_version" other
//   than the machine's instance_id answers 412 {"error": ...} and changes nothing.
// - Destroying a "started" machine without force=true answers 412 {"error": ...}.
// - A request body nested more than 128 levels deep is refused with 400 unread.
// - Seeded records are stored exactly as given (also incomplete ones); the fake only ever
//   writes their "state" key. A record without a text "id" is listed but cannot be addressed.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quelmar::fake_fly {

struct FakePlatformOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  std::string token = "fake-token";
  std::vector<std::string> apps{};
  // How long a wait is held before 408. Absent: the request's own timeout.
  std::optional<std::chrono::milliseconds> wait_hold{};
  // Seeds the generated machine and instance ids, so runs are repeatable.
  std::uint64_t seed = 1;
  // PEM files of the server certificate (chain) and its key. Both present: serve HTTPS.
  std::optional<std::string> tls_cert_file{};
  std::optional<std::string> tls_key_file{};
  // Added to every request before it is handled, as a distant platform would; requests wait
  // it out side by side.
  std::chrono::milliseconds latency{0};
  // How many listings still show a destroyed machine (in state "destroyed"), as the platform
  // keeps such records listed for a while.
  int destroyed_listings = 0;
};

struct RecordedRequest {
  std::string method{};
  std::string path{};  // decoded, without the query string
  std::map<std::string, std::string> query{};
  std::map<std::string, std::string> headers{};  // names in lower case
  std::string body{};
  std::chrono::steady_clock::time_point received{};  // after the added latency

  // Empty when the header was not sent. `name` is matched case-insensitively.
  std::string header(const std::string& name) const;
};

// Makes the next `times` requests that match answer differently.
struct InjectedFailure {
  std::string method{};         // empty: any method
  std::string path_contains{};  // empty: any path
  int times = 1;
  // Absent: after the delay the request is handled normally (a slow answer).
  std::optional<int> status = 500;
  // Sent verbatim as application/json (may be malformed on purpose). Absent: empty body.
  std::optional<std::string> body{};
  std::optional<int> retry_after_seconds{};
  // The Retry-After header as it is, for values a well-behaved server would not send.
  std::optional<std::string> retry_after{};
  std::chrono::milliseconds delay{0};
};

class FakePlatform {
 public:
  // Binds and starts serving before returning; throws std::runtime_error if it cannot, or if
  // serving has not started within a few seconds.
  explicit FakePlatform(FakePlatformOptions options = {});
  ~FakePlatform();
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

  int port() const;
  std::string base_url() const;  // "http://127.0.0.1:PORT", or "https://..." with TLS

  void add_app(const std::string& app);
  // Every app the fake knows: named at start, added, or holding (or having held) machines.
  std::set<std::string> app_names() const;

  // Stores `record` as given (any JSON, also with "config": null or keys missing).
  void add_machine(const std::string& app, nlohmann::json record);
  // The app's machine records as they are now, in insertion order (destroyed ones left out).
  nlohmann::json machines(const std::string& app) const;
  std::optional<nlohmann::json> machine(const std::string& app, const std::string& id) const;
  // Returns false when there is no such machine.
  bool set_state(const std::string& app, const std::string& id, const std::string& state);

  // Every request received (also refused and injected ones), in arrival order.
  std::vector<RecordedRequest> requests() const;
  void clear_requests();

  void inject(InjectedFailure failure);

  void set_wait_hold(std::chrono::milliseconds hold);
  // Requests of `method` ("" for any) are recorded and then held unanswered until this is called
  // with nothing (or the fake stops), so that a test can act while a request is under way.
  void hold_requests(std::optional<std::string> method);
  void set_latency(std::chrono::milliseconds latency);

  // Stops serving and releases held requests; idempotent. The destructor calls it.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelmar::fake_fly
