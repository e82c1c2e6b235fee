// Client for the Fly Machines REST API (v1).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane::api {

// Region used when the caller names none.
inline constexpr const char* FLY_REGION_DEFAULT = "iad";

// Could not talk to the platform at all (connection refused, TLS, time-out).
// A platform that answered with an error status yields a failure map instead.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ClientOptions {
  std::string base_url = "https://api.machines.dev";
  std::chrono::milliseconds connect_timeout{10'000};
  std::chrono::milliseconds request_timeout{30'000};
  // The wait request asks the platform to hold for this many seconds (1..60);
  // its transfer time-out is set longer than that.
  int wait_timeout_seconds = 60;
  // Total time spent re-sending a wait that answered 408.
  std::chrono::seconds wait_total{300};
  // Retries after the first attempt on 429/5xx.
  int max_retries = 4;
  std::chrono::milliseconds initial_backoff{500};
  std::chrono::milliseconds max_backoff{30'000};
  // Seam for tests: how the client sleeps between retries. Empty: a real sleep.
  std::function<void(std::chrono::milliseconds)> sleep;
};

struct CreateOptions {
  std::optional<int> port;
  std::optional<int> additional_internal_port;
  std::string name;
  nlohmann::json env_vars = nlohmann::json::object();
  nlohmann::json metadata = nlohmann::json::object();
  // Entries go to the top level of the request body (e.g. "region").
  nlohmann::json extra_config = nlohmann::json::object();
};

// Every call returns the platform's JSON answer, or a failure map holding the
// key "error" when the platform refused the request.
class API {
 public:
  explicit API(std::string api_token, ClientOptions options = {});
  ~API();
  API(API&&) noexcept;
  API& operator=(API&&) noexcept;
  API(const API&) = delete;
  API& operator=(const API&) = delete;

  nlohmann::json list(const std::string& app, const std::string& region);
  nlohmann::json create(const std::string& app, const std::string& image,
                        const std::vector<std::string>& cmd, const CreateOptions& options);
  nlohmann::json start(const std::string& app, const std::string& id);
  nlohmann::json stop(const std::string& app, const std::string& id);
  nlohmann::json get(const std::string& app, const std::string& id);
  nlohmann::json wait(const std::string& app, const std::string& id,
                      const std::string& instance_id, const std::string& state);
  nlohmann::json destroy(const std::string& app, const std::string& id, bool force,
                         const std::string& region);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::api
