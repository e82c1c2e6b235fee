// The brief listing and machine update that fleet operations are built on.
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
