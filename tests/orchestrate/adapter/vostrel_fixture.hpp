// A FlyAdapter wired to an in-process fake platform and fake name server, with
// its console captured.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fake_dns.hpp"
#include "fake_platform.hpp"
#include "quelmar/orchestrate/adapter/vostrel.hpp"
#include "support/log_capture.hpp"

namespace quelmar::orchestrate::adapter::vostrel::testing {

inline constexpr const char* kApp = "meters";
inline constexpr const char* kToken = "tok-5ecret-never-printed";
inline constexpr const char* kImage = "registry.fly.io/mediator:7";
// The create request of one meter, as the create tests send it.
inline const CreateRequest kRequest{
    .cmd = "/app/mediator", .meter_id = "m-42", .serial = "ABC123", .ip_address = "10.9.8.7"};

// A complete mediator machine record as the platform lists it.
inline nlohmann::json machine_record(const std::string& id, const std::string& name,
                                     const std::string& state, const std::string& meter_id,
                                     int port = 50051) {
  return {{"id", id},
          {"name", name},
          {"state", state},
          {"region", "iad"},
          {"instance_id", "01HEPA330HZ37A78TK080NAK" + id.substr(0, 2)},
          {"config",
           {{"image", kImage},
            {"metadata", {{"meter_id", meter_id}, {"ip_address", "10.1.2.3"}}},
            {"services", {{{"protocol", "tcp"}, {"ports", {{{"port", port}}}}}}}}}};
}

class VostrelTest : public ::testing::Test {
 protected:
  FlyAdapterOptions options() {
    using namespace std::chrono_literals;
    FlyAdapterOptions o{
        .api_token = kToken,
        .dns_server = dns.name_server(),
        .image = kImage,
        .app_name = kApp,
        .client = {.base_url = platform.base_url(),
                   .connect_timeout = 2000ms,
                   .request_timeout = 5000ms,
                   .wait_timeout_seconds = 2,
                   .max_retries = 0,
                   .initial_backoff = 0ms,
                   .max_backoff = 0ms,
                   .sleep = [](std::chrono::milliseconds) {}},
        .public_resolver = dns.name_server(),
        .console = {.in = &in,
                    .out = &out,
                    .exit = [this](int status) { exits.push_back(status); }},
    };
    return o;
  }

  // Platform requests other than the ones the test did itself, as "METHOD path".
  std::vector<std::string> request_lines() const {
    std::vector<std::string> lines;
    for (const auto& r : platform.requests()) lines.push_back(r.method + " " + r.path);
    return lines;
  }

  std::string machine_path(const std::string& id) const {
    return std::string("/v1/apps/") + kApp + "/machines/" + id;
  }

  static fake_fly::FakePlatformOptions platform_options() {
    fake_fly::FakePlatformOptions o;
    o.token = kToken;
    o.apps = {kApp};
    return o;
  }

  // Injected answers for requests whose path holds `path_contains`.
  void inject_answer(const std::string& method, const std::string& path_contains, int status,
                     const std::string& body) {
    fake_fly::InjectedFailure failure;
    failure.method = method;
    failure.path_contains = path_contains;
    failure.status = status;
    failure.body = body;
    platform.inject(failure);
  }

  fake_fly::FakePlatform platform{platform_options()};
  fake_fly::FakeDns dns;
  std::istringstream in;
  std::ostringstream out;
  std::vector<int> exits;
};

}  // namespace quelmar::orchestrate::adapter::vostrel::testing
