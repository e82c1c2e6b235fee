// A real client talking to an in-process fake platform on loopback.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "corvane/api.hpp"
#include "fake_platform.hpp"

namespace corvane::api::testing {

using namespace std::chrono_literals;
using nlohmann::json;
using quelmar::fake_fly::FakePlatform;
using quelmar::fake_fly::InjectedFailure;
using quelmar::fake_fly::RecordedRequest;

inline constexpr const char* kApp = "meters-eu";
inline constexpr const char* kToken = "s3cret-token-value";

// `text` as a JSON string literal with every character \u-escaped: it only reads as `text` once
// the answer is decoded.
inline std::string json_escaped(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    char unit[8];
    std::snprintf(unit, sizeof unit, "\\u%04x", c);
    out += unit;
  }
  return out + "\"";
}

class ApiTest : public ::testing::Test {
 protected:
  // Sleeps are recorded, never slept, so back-off can be asserted without waiting.
  ClientOptions options_for(const FakePlatform& platform) {
    return {.base_url = platform.base_url(),
            .connect_timeout = 2s,
            .request_timeout = 5s,
            .wait_timeout_seconds = 1,
            .wait_total = 3s,
            .max_retries = 4,
            .initial_backoff = 100ms,
            .max_backoff = 1000ms,
            .sleep = [this](std::chrono::milliseconds delay) { sleeps.push_back(delay); }};
  }

  // Adds a complete machine record and returns its id.
  std::string seed_machine(const std::string& id, const std::string& state,
                           const std::string& region = "iad") {
    fake.add_machine(kApp, json{{"id", id},
                                {"name", "mediator-" + id},
                                {"state", state},
                                {"region", region},
                                {"instance_id", "01HEPA330HZ37A78TK080NAK1M"},
                                {"config", {{"image", "img:1"}, {"metadata", json::object()}}}});
    return id;
  }

  RecordedRequest last_request() const {
    auto all = fake.requests();
    if (all.empty()) {
      ADD_FAILURE() << "no request reached the fake";
      return {};
    }
    return all.back();
  }

  std::vector<std::chrono::milliseconds> sleeps;
  FakePlatform fake{{.token = kToken, .apps = {kApp}, .wait_hold = 10ms}};
  // Declared after the fake, so its connection closes before the fake stops.
  API client{kToken, options_for(fake)};
};

}  // namespace corvane::api::testing
