#include "fake_platform.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

#include <curl/curl.h>
#include <httplib.h>

#include "quelmar/util/bounded_json.hpp"
#include "quelmar/util/host_port.hpp"
#include "quelmar/util/lower.hpp"

namespace quelmar::fake_fly {

namespace {

using nlohmann::json;
using quelmar::util::lower;

constexpr int kWaitTimeoutMin = 1;
constexpr int kWaitTimeoutMax = 60;
constexpr const char* kDefaultRegion = "iad";
constexpr int kMaxBodyDepth = 128;
// How long the constructor waits for the listener thread to start serving.
constexpr std::chrono::seconds kStartBound{5};

bool is_text(const json& record, const char* key) {
  return record.is_object() && record.contains(key) && record[key].is_string();
}

std::string text_or_empty(const json& record, const char* key) {
  return is_text(record, key) ? record[key].get<std::string>() : std::string();
}

void answer(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& message) {
  answer(res, status, json{{"error", message}});
}

// Percent-decodes one path segment, the inverse of the client's libcurl escaping; '+' stays a
// '+', as in any path, and a stray '%' passes through unchanged.
std::string decode_segment(const std::string& raw) {
  struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
  };
  int length = 0;
  const std::unique_ptr<char, CurlFree> decoded(
      curl_easy_unescape(nullptr, raw.data(), static_cast<int>(raw.size()), &length));
  if (!decoded) return raw;
  return std::string(decoded.get(), static_cast<std::size_t>(length));
}

// Splits a raw request target into decoded path segments, so that an encoded '/' inside an
// app name or id stays part of its segment.
std::vector<std::string> path_segments(const std::string& target) {
  std::string raw = target.substr(0, target.find('?'));
  std::vector<std::string> segments;
  std::size_t begin = 0;
  while (begin <= raw.size()) {
    std::size_t end = raw.find('/', begin);
    if (end == std::string::npos) end = raw.size();
    segments.push_back(decode_segment(raw.substr(begin, end - begin)));
    begin = end + 1;
  }
  return segments;
}

// A request body as JSON, discarded when malformed or nested deeper than kMaxBodyDepth.
json parse_body(const std::string& text) {
  return quelmar::util::parse_json_bounded(text, kMaxBodyDepth).value;
}

std::unique_ptr<httplib::Server> make_server(const FakePlatformOptions& options) {
  if (!options.tls_cert_file && !options.tls_key_file) return std::make_unique<httplib::Server>();
  if (!options.tls_cert_file || !options.tls_key_file) {
    throw std::runtime_error("fake platform: TLS needs both a certificate and a key file");
  }
  auto server = std::make_unique<httplib::SSLServer>(options.tls_cert_file->c_str(),
                                                     options.tls_key_file->c_str());
  if (!server->is_valid()) {
    throw std::runtime_error("fake platform: cannot load TLS certificate " +
                             *options.tls_cert_file + " or key " + *options.tls_key_file);
  }
  return server;
}

std::optional<int> parse_int(const std::string& text) {
  try {
    std::size_t used = 0;
    int value = std::stoi(text, &used);
    if (used == text.size()) return value;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

// A machine's record is kept as the text it is served as: a fleet of hundreds of thousands
// then costs about what its listing does, and a listing is those texts joined.
class Machine {
 public:
  explicit Machine(const json& record) { set_record(record); }

  json record() const { return json::parse(*text_); }
  void set_record(const json& record) {
    text_ = std::make_shared<const std::string>(record.dump());
    object_ = record.is_object();
    id_ = text_or_empty(record, "id");
    state_ = text_or_empty(record, "state");
    region_ = text_or_empty(record, "region");
  }
  const std::shared_ptr<const std::string>& text() const { return text_; }

  const std::string& id() const { return id_; }
  const std::string& state() const { return state_; }
  const std::string& region() const { return region_; }
  void set_state(const std::string& state) {
    if (!object_) return;
    json changed = record();
    changed["state"] = state;
    set_record(changed);
  }
  // What the machine is once the pending transition completes.
  std::string settled_state() const { return settles_to.value_or(state()); }

  // A transitional state shown to one read, after which the machine moves on.
  std::optional<std::string> settles_to;
  bool destroyed = false;
  int listings_left = 0;  // after destroy: listings that still show it
  bool gone = false;      // no longer known at all

 private:
  std::shared_ptr<const std::string> text_;
  bool object_ = false;
  std::string id_, state_, region_;
};

struct App {
  // Never erased from, so that the index's pointers stay valid; a machine that is gone is
  // marked as such.
  std::deque<Machine> machines;
  std::unordered_map<std::string, Machine*> by_id;  // the first known machine of each id
  std::set<std::string> destroyed_ids;

  void add(const json& record) {
    Machine& machine = machines.emplace_back(record);
    if (!machine.id().empty()) by_id.emplace(machine.id(), &machine);
  }

  Machine* find(const std::string& id) {
    auto found = by_id.find(id);
    return found == by_id.end() ? nullptr : found->second;
  }

  void forget(Machine& machine) {
    machine.gone = true;
    if (find(machine.id()) != &machine) return;
    by_id.erase(machine.id());
    for (auto& other : machines) {
      if (!other.gone && other.id() == machine.id()) {
        by_id.emplace(other.id(), &other);
        break;
      }
    }
  }
};

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  auto found = headers.find(lower(name));
  return found == headers.end() ? std::string() : found->second;
}

struct FakePlatform::Impl {
  FakePlatformOptions options;
  std::unique_ptr<httplib::Server> owned_server;
  httplib::Server& server;
  std::thread listener;
  int port = 0;

  mutable std::mutex mutex;
  std::condition_variable changed;  // machine states moved, or the server is stopping
  bool stopping = false;
  bool stopped = false;
  std::optional<std::string> held_method;
  std::map<std::string, App> apps;
  std::vector<RecordedRequest> requests;
  std::deque<InjectedFailure> failures;
  std::mt19937_64 random;
  int created_count = 0;
  std::atomic<std::chrono::milliseconds::rep> latency_ms{0};

  explicit Impl(FakePlatformOptions opts)
      : options(std::move(opts)),
        owned_server(make_server(options)),
        server(*owned_server),
        random(options.seed) {
    latency_ms = options.latency.count();
    for (const auto& app : options.apps) apps[app];
  }

  // --- helpers below run with `mutex` held ---

  std::string new_machine_id() {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%014llx",
                  static_cast<unsigned long long>(random() & 0xffffffffffffffULL));
    return buffer;
  }

  std::string new_instance_id() {
    static constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    std::string id(26, '0');
    id[0] = kCrockford[random() % 8];  // a ULID's first character is at most '7'
    for (std::size_t i = 1; i < id.size(); ++i) id[i] = kCrockford[random() % 32];
    return id;
  }

  void record(const httplib::Request& req) {
    RecordedRequest recorded{req.method, req.path, {},
                             {},         req.body, std::chrono::steady_clock::now()};
    for (const auto& [key, value] : req.params) recorded.query.emplace(key, value);
    for (const auto& [key, value] : req.headers) {
      // httplib adds the peer addresses as pseudo-headers.
      if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" ||
          key == "LOCAL_PORT") {
        continue;
      }
      recorded.headers.emplace(lower(key), value);
    }
    requests.push_back(std::move(recorded));
  }

  std::optional<InjectedFailure> take_failure(const httplib::Request& req) {
    for (auto it = failures.begin(); it != failures.end(); ++it) {
      if (!it->method.empty() && it->method != req.method) continue;
      if (req.path.find(it->path_contains) == std::string::npos) continue;
      InjectedFailure taken = *it;
      if (--it->times <= 0) failures.erase(it);
      return taken;
    }
    return std::nullopt;
  }

  bool authorized(const httplib::Request& req) const {
    const std::string value = req.get_header_value("Authorization");
    if (value.empty()) return false;
    if (value == "Bearer " + options.token) return true;
    return value.rfind("FlyV1 ", 0) == 0 && value == options.token;
  }

  // Waits without the lock until `predicate` holds, the server stops or `hold` passes.
  template <typename Predicate>
  void hold(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds hold,
            Predicate predicate) {
    changed.wait_for(lock, hold, [&] { return stopping || predicate(); });
  }

  void serve(const httplib::Request& req, httplib::Response& res) {
    // Outside the lock, so that concurrent requests wait it out together.
    if (const auto latency = latency_ms.load(); latency > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(latency));
    }
    std::unique_lock lock(mutex);
    record(req);
    changed.wait(lock, [this, &req] {
      return stopping || !held_method || (!held_method->empty() && *held_method != req.method);
    });
    if (auto failure = take_failure(req)) {
      if (failure->delay.count() > 0) hold(lock, failure->delay, [] { return false; });
      if (failure->status) {
        res.status = *failure->status;
        if (failure->retry_after_seconds) {
          res.set_header("Retry-After", std::to_string(*failure->retry_after_seconds));
        }
        if (failure->retry_after) res.set_header("Retry-After", *failure->retry_after);
        if (failure->body) res.set_content(*failure->body, "application/json");
        return;
      }
    }
    if (!authorized(req)) {
      refuse(res, 401, "Authenticate: token validation error");
      return;
    }
    route(req, res, lock);
  }

  void route(const httplib::Request& req, httplib::Response& res,
             std::unique_lock<std::mutex>& lock) {
    // "", "v1", "apps", APP, "machines", [ID, [ACTION]]
    const auto segments = path_segments(req.target);
    if (segments.size() < 5 || segments.size() > 7 || !segments[0].empty() || segments[1] != "v1" ||
        segments[2] != "apps" || segments[4] != "machines") {
      refuse(res, 404, "not_found: no such endpoint");
      return;
    }
    auto app_found = apps.find(segments[3]);
    if (app_found == apps.end()) {
      refuse(res, 404, "Could not find App \"" + segments[3] + "\"");
      return;
    }
    App& app = app_found->second;
    const std::string& method = req.method;
    if (segments.size() == 5) {
      if (method == "GET") return list(req, res, app);
      if (method == "POST") return create(req, res, app);
    } else {
      const std::string& id = segments[5];
      const std::string action = segments.size() == 7 ? segments[6] : "";
      if (action.empty() && method == "GET") return get(res, app, id);
      if (action.empty() && method == "DELETE") return destroy(req, res, app, id);
      if (action.empty() && method == "POST") return update(req, res, app, id);
      if (action == "start" && method == "POST") return start(res, app, id);
      if (action == "stop" && method == "POST") return stop(req, res, app, id);
      if (action == "wait" && method == "GET") return wait(req, res, app, id, lock);
    }
    refuse(res, 404, "not_found: no such endpoint");
  }

  // The record as one read shows it; the read completes a pending transition.
  static std::shared_ptr<const std::string> read(Machine& machine) {
    std::shared_ptr<const std::string> shown = machine.text();
    if (machine.settles_to) {
      machine.set_state(*machine.settles_to);
      machine.settles_to.reset();
    }
    return shown;
  }

  static bool matches_filters(const httplib::Request& req, const Machine& machine) {
    std::optional<json> record;  // read only for a metadata filter
    for (const auto& [key, value] : req.params) {
      if (key == "region") {
        if (!value.empty() && machine.region() != value) return false;
      } else if (key.rfind("metadata.", 0) == 0) {
        const std::string meta_key = key.substr(9);
        if (!record) record = machine.record();
        if (!record->is_object() || !record->contains("config")) return false;
        const json& config = (*record)["config"];
        if (!config.is_object() || !config.contains("metadata")) return false;
        const json& metadata = config["metadata"];
        if (!metadata.is_object() || !metadata.contains(meta_key) ||
            metadata[meta_key] != json(value)) {
          return false;
        }
      }
    }
    return true;
  }

  // Sent in pieces as the connection takes them, joined from the records' own texts.
  void list(const httplib::Request& req, httplib::Response& res, App& app) {
    struct Listing {
      std::vector<std::shared_ptr<const std::string>> records;
      std::size_t next = 0;
      bool opened = false;
    };
    auto listing = std::make_shared<Listing>();
    for (auto& machine : app.machines) {
      if (machine.gone || (machine.destroyed && machine.listings_left <= 0)) continue;
      if (!matches_filters(req, machine)) continue;
      if (machine.destroyed) --machine.listings_left;
      listing->records.push_back(read(machine));
    }
    res.status = 200;
    res.set_chunked_content_provider(
        "application/json", [listing](std::size_t /*offset*/, httplib::DataSink& sink) {
          constexpr std::size_t kPieceBytes = 256u << 10;
          std::string piece;
          if (!listing->opened) {
            piece = "[";
            listing->opened = true;
          }
          auto& records = listing->records;
          while (listing->next < records.size() && piece.size() < kPieceBytes) {
            if (listing->next > 0) piece += ',';
            piece += *records[listing->next++];
          }
          const bool last = listing->next == records.size();
          if (last) piece += ']';
          if (!sink.write(piece.data(), piece.size())) return false;
          if (last) sink.done();
          return true;
        });
  }

  void create(const httplib::Request& req, httplib::Response& res, App& app) {
    json body = parse_body(req.body);
    if (body.is_discarded() || !body.is_object()) {
      refuse(res, 400, "invalid_argument: request body must be a JSON object");
      return;
    }
    if (!body.contains("config") || !body["config"].is_object() ||
        !is_text(body["config"], "image")) {
      refuse(res, 400, "invalid_argument: config.image is required");
      return;
    }
    const std::string id = new_machine_id();
    ++created_count;
    json record{
        {"id", id},
        {"name", is_text(body, "name") ? body["name"].get<std::string>() : "machine-" + id},
        {"state", "created"},
        {"region", is_text(body, "region") ? body["region"].get<std::string>() : kDefaultRegion},
        {"instance_id", new_instance_id()},
        {"private_ip", "fdaa:0:18:a7b:196:e274:9ce1:" + std::to_string(created_count)},
        {"config", body["config"]},
        {"created_at", "2024-01-01T00:00:00Z"},
        {"updated_at", "2024-01-01T00:00:00Z"},
        {"events", json::array()}};
    const bool skip_launch = body.contains("skip_launch") && body["skip_launch"] == true;
    json stored = record;
    if (!skip_launch) stored["state"] = "started";
    app.add(stored);
    changed.notify_all();
    answer(res, 200, record);
  }

  void update(const httplib::Request& req, httplib::Response& res, App& app,
              const std::string& id) {
    json body = parse_body(req.body);
    if (body.is_discarded() || !body.is_object() || !body.contains("config") ||
        !body["config"].is_object() || !is_text(body["config"], "image")) {
      refuse(res, 400, "invalid_argument: config.image is required");
      return;
    }
    Machine* machine = app.find(id);
    if (machine == nullptr || machine->destroyed) return refuse(res, 404, "machine not found");
    json record = machine->record();
    if (body.contains("current_version") &&
        body["current_version"] != json(text_or_empty(record, "instance_id"))) {
      refuse(res, 412, "failed_precondition: machine version changed, current_version is stale");
      return;
    }
    if (record.is_object()) {
      record["config"] = body["config"];
      record["instance_id"] = new_instance_id();
      record["state"] = "replacing";
    }
    machine->set_record(record);
    machine->settles_to = "started";
    changed.notify_all();
    answer(res, 200, record);
  }

  void get(httplib::Response& res, App& app, const std::string& id) {
    Machine* machine = app.find(id);
    if (machine == nullptr) return refuse(res, 404, "machine not found");
    const auto shown = read(*machine);
    if (machine->destroyed) app.forget(*machine);
    res.status = 200;
    res.set_content(*shown, "application/json");
  }

  void start(httplib::Response& res, App& app, const std::string& id) {
    Machine* machine = app.find(id);
    if (machine == nullptr || machine->destroyed) return refuse(res, 404, "machine not found");
    const std::string previous = machine->settled_state();
    machine->settles_to.reset();
    machine->set_state("started");
    changed.notify_all();
    answer(res, 200, json{{"previous_state", previous}, {"migrated", false}, {"new_host", ""}});
  }

  void stop(const httplib::Request& req, httplib::Response& res, App& app, const std::string& id) {
    if (!req.body.empty()) {
      json body = parse_body(req.body);
      if (body.is_discarded() || !body.is_object()) {
        refuse(res, 400, "json: cannot unmarshal body into Go value of type main.stopRequest");
        return;
      }
    }
    Machine* machine = app.find(id);
    if (machine == nullptr || machine->destroyed) return refuse(res, 404, "machine not found");
    const std::string state = machine->settled_state();
    if (state == "started" || state == "starting" || state == "created") {
      machine->set_state("stopping");
      machine->settles_to = "stopped";
    }
    changed.notify_all();
    answer(res, 200, json{{"ok", true}});
  }

  void destroy(const httplib::Request& req, httplib::Response& res, App& app,
               const std::string& id) {
    Machine* machine = app.find(id);
    if (machine == nullptr || machine->destroyed) return refuse(res, 404, "machine not found");
    const bool force = req.get_param_value("force") == "true";
    if (!force && machine->state() == "started") {
      refuse(res, 412,
             "failed_precondition: unable to destroy machine, not currently stopped or suspended");
      return;
    }
    machine->destroyed = true;
    machine->listings_left = options.destroyed_listings;
    machine->settles_to.reset();
    machine->set_state("destroyed");
    app.destroyed_ids.insert(id);
    changed.notify_all();
    answer(res, 200, json{{"ok", true}});
  }

  void wait(const httplib::Request& req, httplib::Response& res, App& app, const std::string& id,
            std::unique_lock<std::mutex>& lock) {
    const std::string state =
        req.has_param("state") ? req.get_param_value("state") : std::string("started");
    const std::string instance_id = req.get_param_value("instance_id");
    int timeout = kWaitTimeoutMax;
    if (req.has_param("timeout")) {
      auto parsed = parse_int(req.get_param_value("timeout"));
      if (!parsed || *parsed < kWaitTimeoutMin || *parsed > kWaitTimeoutMax) {
        refuse(res, 400,
               "invalid_argument: invalid WaitMachineRequest.Timeout: value must be inside range "
               "[1s, 1m0s]");
        return;
      }
      timeout = *parsed;
    }
    if (state != "started" && state != "stopped" && state != "suspended" && state != "destroyed") {
      refuse(res, 400, "invalid_argument: unsupported state \"" + state + "\"");
      return;
    }
    if (state == "stopped" && instance_id.empty()) {
      refuse(res, 400, "instance_id required when waiting for stopped machine");
      return;
    }
    auto reached = [&] {
      if (state == "destroyed" && app.destroyed_ids.count(id) > 0) return true;
      Machine* machine = app.find(id);
      return machine != nullptr && !machine->destroyed && machine->settled_state() == state;
    };
    if (app.find(id) == nullptr && app.destroyed_ids.count(id) == 0) {
      refuse(res, 404, "machine not found");
      return;
    }
    const auto hold_for =
        options.wait_hold.value_or(std::chrono::milliseconds(std::chrono::seconds(timeout)));
    if (!reached()) hold(lock, hold_for, reached);
    // `app` stays valid: apps are never removed while the server runs.
    if (reached()) {
      if (Machine* machine = app.find(id); machine != nullptr && machine->settles_to) {
        machine->set_state(*machine->settles_to);
        machine->settles_to.reset();
      }
      answer(res, 200, json{{"ok", true}, {"state", state}});
      return;
    }
    refuse(res, 408, "deadline_exceeded: machine did not reach state \"" + state + "\" in time");
  }
};

FakePlatform::FakePlatform(FakePlatformOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& impl = *impl_;
  impl.server.set_keep_alive_timeout(1);  // so stop() is not held up by idle clients
  impl.server.set_tcp_nodelay(true);      // answers go out in two writes
  // Enough threads for many clients at once, each holding a kept-alive connection.
  impl.server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  // Plain handlers rather than a pre-routing hook: httplib reads request bodies after that hook.
  const auto serve = [&impl](const httplib::Request& req, httplib::Response& res) {
    impl.serve(req, res);
  };
  impl.server.Get(".*", serve);
  impl.server.Post(".*", serve);
  impl.server.Delete(".*", serve);
  if (impl.options.port == 0) {
    impl.port = impl.server.bind_to_any_port(impl.options.host);
  } else if (impl.server.bind_to_port(impl.options.host, impl.options.port)) {
    impl.port = impl.options.port;
  } else {
    impl.port = -1;
  }
  if (impl.port <= 0) {
    throw std::runtime_error("fake platform: cannot bind " + impl.options.host + ":" +
                             std::to_string(impl.options.port));
  }
  std::atomic<bool> listen_ended = false;
  impl.listener = std::thread([&impl, &listen_ended] {
    impl.server.listen_after_bind();
    listen_ended = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + kStartBound;
  while (!impl.server.is_running()) {
    if (listen_ended || std::chrono::steady_clock::now() >= deadline) {
      impl.server.stop();
      impl.listener.join();
      throw std::runtime_error(
          "fake platform: cannot listen on " +
          quelmar::util::host_port(impl.options.host, static_cast<unsigned>(impl.port)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

FakePlatform::~FakePlatform() { stop(); }

int FakePlatform::port() const { return impl_->port; }

std::string FakePlatform::base_url() const {
  const char* scheme = impl_->options.tls_cert_file ? "https://" : "http://";
  return scheme + quelmar::util::host_port(impl_->options.host, static_cast<unsigned>(impl_->port));
}

void FakePlatform::add_app(const std::string& app) {
  std::lock_guard lock(impl_->mutex);
  impl_->apps[app];
}

std::set<std::string> FakePlatform::app_names() const {
  std::lock_guard lock(impl_->mutex);
  std::set<std::string> names;
  for (const auto& [name, app] : impl_->apps) names.insert(name);
  return names;
}

void FakePlatform::add_machine(const std::string& app, nlohmann::json record) {
  std::lock_guard lock(impl_->mutex);
  impl_->apps[app].add(record);
  impl_->changed.notify_all();
}

nlohmann::json FakePlatform::machines(const std::string& app) const {
  std::lock_guard lock(impl_->mutex);
  json all = json::array();
  auto found = impl_->apps.find(app);
  if (found == impl_->apps.end()) return all;
  for (const auto& machine : found->second.machines) {
    if (!machine.gone && !machine.destroyed) all.push_back(machine.record());
  }
  return all;
}

std::optional<nlohmann::json> FakePlatform::machine(const std::string& app,
                                                    const std::string& id) const {
  std::lock_guard lock(impl_->mutex);
  auto found = impl_->apps.find(app);
  if (found == impl_->apps.end()) return std::nullopt;
  Machine* machine = found->second.find(id);
  if (machine == nullptr || machine->destroyed) return std::nullopt;
  return machine->record();
}

bool FakePlatform::set_state(const std::string& app, const std::string& id,
                             const std::string& state) {
  std::lock_guard lock(impl_->mutex);
  auto found = impl_->apps.find(app);
  if (found == impl_->apps.end()) return false;
  Machine* machine = found->second.find(id);
  if (machine == nullptr || machine->destroyed) return false;
  machine->settles_to.reset();
  machine->set_state(state);
  impl_->changed.notify_all();
  return true;
}

std::vector<RecordedRequest> FakePlatform::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

void FakePlatform::clear_requests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

void FakePlatform::inject(InjectedFailure failure) {
  if (failure.times <= 0) return;
  std::lock_guard lock(impl_->mutex);
  impl_->failures.push_back(std::move(failure));
}

void FakePlatform::set_wait_hold(std::chrono::milliseconds hold) {
  std::lock_guard lock(impl_->mutex);
  impl_->options.wait_hold = hold;
}

void FakePlatform::hold_requests(std::optional<std::string> method) {
  std::lock_guard lock(impl_->mutex);
  impl_->held_method = std::move(method);
  impl_->changed.notify_all();
}

void FakePlatform::set_latency(std::chrono::milliseconds latency) {
  impl_->latency_ms = latency.count();
}

void FakePlatform::stop() {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->stopped) return;
    impl_->stopped = true;
    impl_->stopping = true;
    impl_->changed.notify_all();
  }
  impl_->server.stop();
  if (impl_->listener.joinable()) impl_->listener.join();
}

}  // namespace quelmar::fake_fly
