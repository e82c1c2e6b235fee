// The one rule that maps an HTTP exchange to an answer: a verdict for each, and the plain form's
// failure maps and exceptions.
#include <memory>
#include <optional>
#include <stdexcept>

#include <ostream>

#include <gmock/gmock.h>

#include "corvane/api_fixture.hpp"

namespace corvane::api::testing {
namespace {

struct AnswerCase {
  std::string name;
  int status;
  std::optional<std::string> body;
  json expected;
  Verdict verdict;
};

void PrintTo(const AnswerCase& row, std::ostream* out) { *out << row.name; }

class FailureMapTest : public ApiTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(FailureMapTest, AnswerBecomesResultWithItsVerdict) {
  // POST create is not retried on 5xx, so each row is exactly one exchange.
  fake.inject({.method = "POST", .times = 2, .status = GetParam().status, .body = GetParam().body});

  EXPECT_EQ(client.create(kApp, "img:1", {"run"}, {}), GetParam().expected);
  const Answer answer = client.create_machine(kApp, create_body("img:1", {"run"}, {}));
  EXPECT_EQ(answer.value, GetParam().expected);
  EXPECT_EQ(answer.verdict, GetParam().verdict);
  EXPECT_EQ(answer.status, GetParam().status);
  EXPECT_EQ(fake.requests().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FailureMapTest,
    ::testing::Values(
        AnswerCase{"error_body_kept",
                   404,
                   R"({"error":"Could not find App \"x\""})",
                   {{"error", "Could not find App \"x\""}},
                   Verdict::kRefused},
        AnswerCase{"error_body_keeps_status",
                   422,
                   R"({"error":"no capacity","status":"insufficient_capacity"})",
                   {{"error", "no capacity"}, {"status", "insufficient_capacity"}},
                   Verdict::kRefused},
        AnswerCase{"message_body",
                   409,
                   R"({"status":"error","message":"lease currently held"})",
                   {{"error", "HTTP 409: lease currently held"}},
                   Verdict::kRefused},
        AnswerCase{"empty_body",
                   400,
                   std::nullopt,
                   {{"error", "HTTP 400: bad request"}},
                   Verdict::kRefused},
        AnswerCase{"raw_text",
                   500,
                   "upstream exploded",
                   {{"error", "HTTP 500: upstream exploded"}},
                   Verdict::kUnanswered},
        AnswerCase{"json_without_error",
                   403,
                   R"(["nope"])",
                   {{"error", "HTTP 403: [\"nope\"]"}},
                   Verdict::kRefused},
        AnswerCase{"empty_success", 200, std::nullopt, json::object(), Verdict::kDone},
        AnswerCase{"ok_false", 200, R"({"ok":false})", {{"ok", false}}, Verdict::kRefused},
        AnswerCase{"ok_true", 200, R"({"ok":true})", {{"ok", true}}, Verdict::kDone},
        AnswerCase{"redirect",
                   302,
                   std::nullopt,
                   {{"error", "HTTP 302: redirect (not followed)"}},
                   Verdict::kUnanswered},
        AnswerCase{"malformed_success",
                   200,
                   "{\"id\": \"18571",
                   {{"error", "HTTP 200: malformed JSON in response: {\"id\": \"18571"}},
                   Verdict::kUnanswered}),
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

TEST_F(ApiTest, ClosedPortIsUnansweredAndThrowsWithMethodAndPathInThePlainForm) {
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

  const Answer answer = unreachable.start_machine(kApp, "1857156b526dd8");
  EXPECT_TRUE(answer.unanswered());
  EXPECT_EQ(answer.status, 0);
  EXPECT_THAT(answer.reason(),
              ::testing::HasSubstr("POST /v1/apps/meters-eu/machines/1857156b526dd8/start failed"));
}

TEST_F(ApiTest, SlowAnswerHitsTheRequestTimeout) {
  ClientOptions options = options_for(fake);
  options.request_timeout = 200ms;
  API impatient(kToken, options);
  // Far longer than the time-out; the fake releases the held request when it stops.
  fake.inject({.method = "GET", .status = std::nullopt, .delay = 20s});

  EXPECT_THROW(impatient.list(kApp, "iad"), Error);
}

TEST_F(ApiTest, AnswersAreDataKeptAsSentEvenWhenTheyHoldTheToken) {
  // Redacting here would corrupt what a caller sends back (an update of a config holding the
  // token); output redacts instead.
  const std::string echo = std::string("bad token ") + kToken;
  fake.inject({.method = "POST", .status = 401, .body = json{{"error", echo}}.dump()});
  fake.inject({.method = "POST", .status = 200, .body = json{{"env", {{"DB", echo}}}}.dump()});

  EXPECT_EQ(client.create(kApp, "img:1", {"run"}, {}), json({{"error", echo}}));
  EXPECT_EQ(client.create(kApp, "img:1", {"run"}, {}), json({{"env", {{"DB", echo}}}}));
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
