// Which answers are re-sent, how long the client backs off, and how wait long-polls.
#include <functional>

#include <gmock/gmock.h>

#include <ostream>

#include "corvane/api_fixture.hpp"

namespace corvane::api::testing {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Ge;
using ::testing::Le;

TEST_F(ApiTest, RetryAfterIsHonoured) {
  fake.inject({.method = "GET", .status = 429, .retry_after_seconds = 1});

  EXPECT_EQ(client.list(kApp, "iad"), json::array());
  EXPECT_THAT(sleeps, ElementsAre(1000ms));
  EXPECT_EQ(fake.requests().size(), 2u);
}

TEST_F(ApiTest, RetryAfterIsCappedByMaxBackoff) {
  fake.inject({.method = "GET", .status = 429, .retry_after_seconds = 3600});

  EXPECT_EQ(client.list(kApp, "iad"), json::array());
  EXPECT_THAT(sleeps, ElementsAre(1000ms));
}

TEST_F(ApiTest, AnyRetryAfterWaitsWithinTheMaximumBackOff) {
  // Huge, an HTTP date far ahead, negative, garbage: never longer than max_backoff (1 s here),
  // never an overflow.
  for (const char* header : {"9223372036854775807", "Fri, 31 Dec 9999 23:59:59 GMT", "-5", "soon",
                             "18446744073709551616"}) {
    sleeps.clear();
    fake.inject({.method = "GET", .status = 429, .retry_after = header});
    EXPECT_EQ(client.list(kApp, "iad"), json::array()) << header;
    ASSERT_EQ(sleeps.size(), 1U) << header;
    EXPECT_THAT(sleeps[0], AllOf(Ge(50ms), Le(1000ms))) << header;
  }
}

struct IdempotentCase {
  std::string name;
  std::string method;
  std::function<json(API&)> call;
};

void PrintTo(const IdempotentCase& row, std::ostream* out) { *out << row.name; }

class IdempotentRetryTest : public ApiTest, public ::testing::WithParamInterface<IdempotentCase> {};

TEST_P(IdempotentRetryTest, ServerErrorsAreRetriedWithGrowingBackoff) {
  seed_machine("1857156b526dd8", "stopped");
  fake.inject({.method = GetParam().method, .times = 2, .status = 503});

  const json result = GetParam().call(client);

  EXPECT_FALSE(result.contains("error")) << result.dump();
  EXPECT_EQ(fake.requests().size(), 3u);
  // Half fixed, half jitter: 100ms base, then 200ms.
  EXPECT_THAT(sleeps, ElementsAre(AllOf(Ge(50ms), Le(100ms)), AllOf(Ge(100ms), Le(200ms))));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, IdempotentRetryTest,
    ::testing::Values(
        IdempotentCase{"list", "GET", [](API& api) { return api.list(kApp, "iad"); }},
        IdempotentCase{"get", "GET", [](API& api) { return api.get(kApp, "1857156b526dd8"); }},
        IdempotentCase{"start", "POST", [](API& api) { return api.start(kApp, "1857156b526dd8"); }},
        IdempotentCase{"stop", "POST", [](API& api) { return api.stop(kApp, "1857156b526dd8"); }},
        IdempotentCase{
            "wait", "GET",
            [](API& api) { return api.wait(kApp, "1857156b526dd8", "01HEPA", "stopped"); }},
        IdempotentCase{"destroy", "DELETE",
                       [](API& api) { return api.destroy(kApp, "1857156b526dd8", false, "iad"); }}),
    [](const auto& info) { return info.param.name; });

TEST_F(ApiTest, CreateIsNotRetriedOnServerError) {
  fake.inject({.method = "POST", .status = 502});

  EXPECT_EQ(client.create(kApp, "img:1", {"run"}, {}), (json{{"error", "HTTP 502: bad gateway"}}));
  EXPECT_EQ(fake.requests().size(), 1u);
  EXPECT_TRUE(sleeps.empty());
}

TEST_F(ApiTest, CreateIsRetriedWhenThrottled) {
  fake.inject({.method = "POST", .status = 429});

  EXPECT_TRUE(client.create(kApp, "img:1", {"run"}, {}).contains("id"));
  EXPECT_EQ(fake.requests().size(), 2u);
  EXPECT_EQ(fake.machines(kApp).size(), 1u) << "exactly one machine despite the retry";
}

TEST_F(ApiTest, ExhaustedRetriesGiveTheLastFailure) {
  fake.inject({.method = "GET", .times = 100, .status = 503});

  EXPECT_EQ(client.list(kApp, "iad"), (json{{"error", "HTTP 503: service unavailable"}}));
  EXPECT_EQ(fake.requests().size(), 5u);  // the first try and max_retries = 4
  ASSERT_EQ(sleeps.size(), 4u);
  // Bases 100, 200, 400, 800 ms, each at least half fixed, never above max_backoff.
  for (std::size_t i = 0; i < sleeps.size(); ++i) {
    const auto base = std::chrono::milliseconds(100 << i);
    EXPECT_THAT(sleeps[i], AllOf(Ge(base / 2), Le(base))) << "retry " << i;
  }
}

TEST_F(ApiTest, WaitIsResentOn408WithinItsBudget) {
  seed_machine("1857156b526dd8", "started");

  // wait_total 3 s with 1 s holds: three requests, then the 408's failure map.
  const json result = client.wait(kApp, "1857156b526dd8", "01HEPA", "stopped");

  ASSERT_TRUE(result.contains("error")) << result.dump();
  EXPECT_EQ(fake.requests().size(), 3u);
  for (const auto& request : fake.requests()) EXPECT_EQ(request.query.at("timeout"), "1");
  EXPECT_TRUE(sleeps.empty()) << "a 408 is not throttling: no back-off";
}

TEST_F(ApiTest, WaitWithoutBudgetIsSentOnce) {
  seed_machine("1857156b526dd8", "started");
  ClientOptions options = options_for(fake);
  options.wait_total = 0s;
  API once(kToken, options);

  EXPECT_TRUE(once.wait(kApp, "1857156b526dd8", "01HEPA", "stopped").contains("error"));
  EXPECT_EQ(fake.requests().size(), 1u);
}

TEST_F(ApiTest, WaitAsksForAtMostSixtySeconds) {
  seed_machine("1857156b526dd8", "stopped");
  ClientOptions options = options_for(fake);
  options.wait_timeout_seconds = 600;
  API patient(kToken, options);

  EXPECT_EQ(patient.wait(kApp, "1857156b526dd8", "01HEPA", "stopped"),
            (json{{"ok", true}, {"state", "stopped"}}));
  EXPECT_EQ(last_request().query.at("timeout"), "60");
}

}  // namespace
}  // namespace corvane::api::testing
