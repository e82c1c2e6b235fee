// How refusals, malformed answers and transport failures reach the caller, and that the token
// never shows in any of them.
#include <memory>
#include <optional>
#include <stdexcept>

#include <ostream>

#include "corvane/api_fixture.hpp"

namespace corvane::api::testing {
namespace {

struct AnswerCase {
  std::string name;
  int status;
  std::optional<std::string> body;
  json expected;
};

void PrintTo(const AnswerCase& row, std::ostream* out) { *out << row.name; }

class FailureMapTest : public ApiTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(FailureMapTest, AnswerBecomesResult) {
  // POST create is not retried on 5xx, so each row is exactly one exchange.
  fake.inject({.method = "POST", .status = GetParam().status, .body = GetParam().body});

  EXPECT_EQ(client.create(kApp, "img:1", {"run"}, {}), GetParam().expected);
  EXPECT_EQ(fake.requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FailureMapTest,
    ::testing::Values(
        AnswerCase{"error_body_kept",
                   404,
                   R"({"error":"Could not find App \"x\""})",
                   {{"error", "Could not find App \"x\""}}},
        AnswerCase{"error_body_keeps_status",
                   422,
                   R"({"error":"no capacity","status":"insufficient_capacity"})",
                   {{"error", "no capacity"}, {"status", "insufficient_capacity"}}},
        AnswerCase{"message_body",
                   409,
                   R"({"status":"error","message":"lease currently held"})",
                   {{"error", "HTTP 409: lease currently held"}}},
        AnswerCase{"empty_body", 400, std::nullopt, {{"error", "HTTP 400: bad request"}}},
        AnswerCase{
            "raw_text", 500, "upstream exploded", {{"error", "HTTP 500: upstream exploded"}}},
        AnswerCase{"json_without_error", 403, R"(["nope"])", {{"error", "HTTP 403: [\"nope\"]"}}},
        AnswerCase{"empty_success", 200, std::nullopt, json::object()},
        AnswerCase{"malformed_success",
                   200,
                   "{\"id\": \"18571",
                   {{"error", "HTTP 200: malformed JSON in response: {\"id\": \"18571"}}}),
    [](const auto& info) { return info.param.name; });

TEST_F(ApiTest, LongErrorTextIsTruncated) {
  fake.inject({.method = "POST", .status = 500, .body = std::string(5000, 'x')});

  const json result = client.create(kApp, "img:1", {"run"}, {});

  EXPECT_EQ(result["error"], "HTTP 500: " + std::string(200, 'x') + "...");
}

TEST_F(ApiTest, ListAnsweringSomethingElseThanAnArrayIsAFailure) {
  fake.inject({.method = "GET", .status = 200, .body = R"({"machines":[]})"});

  EXPECT_TRUE(client.list(kApp, "iad").contains("error"));
}

TEST_F(ApiTest, PlatformRefusalsAreFailureMapsNotExceptions) {
  EXPECT_EQ(client.get(kApp, "00000000000000"), (json{{"error", "machine not found"}}));
  EXPECT_EQ(client.list("no-such-app", "iad"),
            (json{{"error", "Could not find App \"no-such-app\""}}));

  API wrong_token("not-the-token", options_for(fake));
  EXPECT_TRUE(wrong_token.list(kApp, "iad").contains("error"));
  EXPECT_EQ(fake.requests().back().header("authorization"), "Bearer not-the-token");
}

TEST_F(ApiTest, ClosedPortThrowsWithMethodAndPath) {
  std::string closed_url;
  {
    FakePlatform gone;
    closed_url = gone.base_url();
  }
  ClientOptions options = options_for(fake);
  options.base_url = closed_url;
  API unreachable(kToken, options);

  try {
    unreachable.get(kApp, "1857156b526dd8");
    FAIL() << "expected a transport error";
  } catch (const Error& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find("GET /v1/apps/meters-eu/machines/1857156b526dd8"), std::string::npos)
        << message;
    EXPECT_EQ(message.find(kToken), std::string::npos);
  }
  EXPECT_TRUE(sleeps.empty()) << "transport failures are not retried";
}

TEST_F(ApiTest, SlowAnswerHitsTheRequestTimeout) {
  ClientOptions options = options_for(fake);
  options.request_timeout = 200ms;
  API impatient(kToken, options);
  // Far longer than the time-out; the fake releases the held request when it stops.
  fake.inject({.method = "GET", .status = std::nullopt, .delay = 20s});

  EXPECT_THROW(impatient.list(kApp, "iad"), Error);
}

TEST_F(ApiTest, TokenEchoedByTheServerIsRedacted) {
  const std::string echo = std::string("bad token ") + kToken;
  fake.inject({.method = "POST", .status = 401, .body = json{{"error", echo}}.dump()});
  fake.inject({.method = "POST", .status = 400, .body = echo});
  fake.inject({.method = "POST", .status = 200, .body = "{" + echo});

  for (int i = 0; i < 3; ++i) {
    const std::string result = client.create(kApp, "img:1", {"run"}, {}).dump();
    EXPECT_EQ(result.find(kToken), std::string::npos) << result;
    EXPECT_NE(result.find("[redacted]"), std::string::npos) << result;
  }
}

TEST_F(ApiTest, TokenWithLineBreakIsRefusedWithoutEchoingIt) {
  const std::string forged = std::string(kToken) + "\r\nX-Injected: 1";
  try {
    API bad(forged, options_for(fake));
    FAIL() << "expected the token to be refused";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).find(kToken), std::string::npos);
  }
  EXPECT_TRUE(fake.requests().empty());
}

}  // namespace
}  // namespace corvane::api::testing
