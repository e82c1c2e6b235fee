// The brief listing and machine update that fleet operations are built on.
#include <cstdio>
#include <string>

#include <gmock/gmock.h>

#include "corvane/api_fixture.hpp"

namespace corvane::api::testing {
namespace {

TEST_F(ApiTest, BriefListingKeepsOnlyWhatIsReadAndDropsTheRest) {
  json full{{"id", "aa01"},
            {"name", "mediator-S1"},
            {"state", "started"},
            {"region", "iad"},
            {"instance_id", "01V1"},
            {"private_ip", "fdaa::1"},
            {"events", json::array({{{"type", "start"}, {"nested", {{"deep", {1, 2, 3}}}}}})},
            {"config",
             {{"image", "img:1"},
              {"metadata", {{"meter_id", "m-1"}}},
              {"env", {{"METER_IP_ADDRESS", "10.0.0.1"}}},
              {"services", {{{"protocol", "tcp"}, {"ports", {{{"port", 7000}}}}}}},
              {"init", {{"cmd", {"/mediator"}}}},
              {"guest", {{"cpus", 1}}}}}};
  fake.add_machine(kApp, full);
  json unconfigured{{"id", "aa02"},    {"name", "mediator-S2"}, {"state", "stopped"},
                    {"region", "iad"}, {"config", nullptr},     {"checks", json::array()}};
  fake.add_machine(kApp, unconfigured);

  const json brief = client.list_brief(kApp, "iad");
  ASSERT_TRUE(brief.is_array()) << brief.dump();
  ASSERT_EQ(brief.size(), 2U);
  json expected = full;
  for (const char* dropped : {"region", "private_ip", "events"}) expected.erase(dropped);
  expected["config"].erase("init");
  expected["config"].erase("guest");
  expected["config"]["services"] = {{{"ports", {{{"port", 7000}}}}}};
  EXPECT_EQ(brief[0], expected);
  EXPECT_EQ(
      brief[1],
      json({{"id", "aa02"}, {"name", "mediator-S2"}, {"state", "stopped"}, {"config", nullptr}}));
  EXPECT_EQ(last_request().query.at("region"), "iad");
}

TEST_F(ApiTest, BriefListingFailsLikeTheFullOne) {
  auto answer_once = [this](const std::string& body) {
    fake.inject({.method = "GET", .times = 1, .status = 200, .body = body});
    return client.list_brief(kApp, "");
  };
  EXPECT_THAT(answer_once(R"({"machines": []})")["error"].get<std::string>(),
              ::testing::HasSubstr("expected a list of machines"));
  EXPECT_THAT(answer_once(R"([{"id": "x",)")["error"].get<std::string>(),
              ::testing::HasSubstr("malformed JSON"));
  EXPECT_EQ(answer_once(std::string(100'000, '[') + std::string(100'000, ']'))["error"],
            "HTTP 200: answer nested too deeply");
  fake.inject({.method = "GET", .times = 1, .status = 404, .body = R"({"error":"no app"})"});
  EXPECT_EQ(client.list_brief(kApp, ""), json({{"error", "no app"}}));
}

TEST_F(ApiTest, BriefListingRedactsTheTokenInKeysAndTextsOfASuccess) {
  const std::string hidden = json_escaped(kToken);
  // Long enough to arrive in many pieces, so that texts and keys straddle their seams.
  std::string body = "[";
  for (int i = 0; i < 2000; ++i) {
    body += R"({"id":"m)" + std::to_string(i) + R"(","name":)" + hidden +
            R"(,"state":"started","config":{"metadata":{)" + hidden + R"(:"x )" +
            std::string(kToken) + R"( y"},"env":{"K":[)" + hidden + R"(]}}},)";
  }
  body.back() = ']';
  fake.inject({.method = "GET", .times = 1, .status = 200, .body = body});

  const json brief = client.list_brief(kApp, "");
  ASSERT_TRUE(brief.is_array()) << brief.dump().substr(0, 300);
  ASSERT_EQ(brief.size(), 2000U);
  EXPECT_EQ(brief[1999]["id"], "m1999");
  EXPECT_EQ(brief[1234]["config"]["metadata"], json({{"[redacted]", "x [redacted] y"}}));
  const std::string shown = brief.dump();
  EXPECT_THAT(shown, ::testing::Not(::testing::HasSubstr(kToken)));
  EXPECT_THAT(shown, ::testing::Not(::testing::HasSubstr("s3cret")));
}

TEST_F(ApiTest, BriefListingRedactsEachPartOfAFlyV1Token) {
  const std::string token = "FlyV1 fm2_firstmacaroon, fm2_secondmacaroon";
  FakePlatform flyv1{{.token = token, .apps = {kApp}}};
  API flyv1_client(token, options_for(flyv1));
  flyv1.inject({.status = 200,
                .body = R"([{"id":"a","name":)" + json_escaped("fm2_secondmacaroon") +
                        R"(,"config":{"env":{"fm2_firstmacaroon":)" + json_escaped(token) +
                        "}}}]"});

  const json brief = flyv1_client.list_brief(kApp, "");
  ASSERT_TRUE(brief.is_array()) << brief.dump();
  EXPECT_THAT(brief.dump(), ::testing::Not(::testing::HasSubstr("macaroon")));
}

TEST_F(ApiTest, BriefListingHandsOverEachRecordInOrder) {
  for (const char* id : {"aa01", "aa02", "aa03"}) seed_machine(id, "started");
  const json whole = client.list_brief(kApp, "");
  json taken = json::array();
  EXPECT_EQ(client.list_brief_each(kApp, "", [&](json&& record) { taken.push_back(record); }),
            json::array());
  EXPECT_EQ(taken, whole);

  // A listing that breaks off after some records is a failure, whatever was handed over.
  fake.inject({.method = "GET", .times = 1, .status = 200, .body = R"([{"id":"a"},7,{"id":)"});
  taken = json::array();
  const json broken =
      client.list_brief_each(kApp, "", [&](json&& record) { taken.push_back(record); });
  EXPECT_THAT(broken["error"].get<std::string>(), ::testing::HasSubstr("malformed JSON"));
  EXPECT_EQ(taken, json({{{"id", "a"}}, 7}));
  fake.inject({.method = "GET", .times = 1, .status = 200, .body = R"({"id":"a"})"});
  EXPECT_THAT(client.list_brief_each(kApp, "", [](json&&) { FAIL() << "not a listing"; })["error"]
                  .get<std::string>(),
              ::testing::HasSubstr("expected a list of machines"));
}

TEST_F(ApiTest, BriefListingQuotesAMalformedAnswerRedacted) {
  fake.inject(
      {.method = "GET",
       .times = 1,
       .status = 200,
       .body = "[{\"id\": \"" + std::string(kToken) + "\"" + std::string(200'000, ' ') + "!"});
  const std::string error = client.list_brief(kApp, "")["error"].get<std::string>();
  EXPECT_THAT(error, ::testing::HasSubstr("malformed JSON in response: [{\"id\": \"[redacted]\""));
  EXPECT_THAT(error, ::testing::Not(::testing::HasSubstr(kToken)));
}

TEST_F(ApiTest, UpdateSendsTheWholeConfigWithTheListedVersion) {
  seed_machine("aa01", "started");
  const json config{{"image", "img:2"}, {"metadata", {{"meter_id", "m-1"}}}};

  const json answer = client.update(kApp, "aa01", config, "01HEPA330HZ37A78TK080NAK1M");
  ASSERT_FALSE(answer.contains("error")) << answer.dump();
  EXPECT_EQ(answer["config"], config);
  EXPECT_NE(answer["instance_id"], "01HEPA330HZ37A78TK080NAK1M");
  EXPECT_EQ(answer["state"], "replacing");
  const RecordedRequest request = last_request();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/v1/apps/meters-eu/machines/aa01");
  EXPECT_EQ(json::parse(request.body),
            json({{"config", config}, {"current_version", "01HEPA330HZ37A78TK080NAK1M"}}));
  EXPECT_EQ(client.wait(kApp, "aa01", answer["instance_id"], "started")["ok"], true);

  // The old version is stale now; the platform says no and nothing changes.
  const json stale =
      client.update(kApp, "aa01", {{"image", "img:3"}}, "01HEPA330HZ37A78TK080NAK1M");
  EXPECT_THAT(stale["error"].get<std::string>(), ::testing::HasSubstr("failed_precondition"));
  EXPECT_EQ(fake.machine(kApp, "aa01")->at("config")["image"], "img:2");
  EXPECT_THROW(client.update(kApp, "aa01", json::array(), ""), std::invalid_argument);
}

TEST_F(ApiTest, UpdateIsRetriedOnThrottlingOnly) {
  seed_machine("aa01", "started");
  fake.inject({.method = "POST", .times = 1, .status = 429, .retry_after_seconds = 2});
  EXPECT_FALSE(client.update(kApp, "aa01", {{"image", "img:2"}}, "").contains("error"));
  EXPECT_EQ(sleeps, (std::vector<std::chrono::milliseconds>{1000ms}));  // capped by max_backoff

  fake.clear_requests();
  fake.inject({.method = "POST", .times = 1, .status = 503});
  EXPECT_TRUE(client.update(kApp, "aa01", {{"image", "img:3"}}, "").contains("error"));
  EXPECT_EQ(fake.requests().size(), 1U);
}

}  // namespace
}  // namespace corvane::api::testing
