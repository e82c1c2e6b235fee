// The listing read record by record: what each record keeps, and how a listing fails.
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "corvane/api_fixture.hpp"
#include "corvane/listing_parser.hpp"

namespace corvane::api::testing {
namespace {

using ::testing::HasSubstr;

class ListingTest : public ApiTest {
 protected:
  // The records handed over, and the answer.
  std::pair<json, Answer> list_all(const std::string& region = "") {
    json taken = json::array();
    Answer answer =
        client.list_machines(kApp, region, [&taken](json&& record) { taken.push_back(record); });
    return {taken, answer};
  }

  Answer answer_once(int status, const std::string& body) {
    fake.inject({.method = "GET", .times = 1, .status = status, .body = body});
    return list_all().second;
  }
};

TEST_F(ListingTest, EachRecordKeepsItsWholeConfigAndDropsWhatNobodyReads) {
  const json config{{"image", "img:1"},
                    {"metadata", {{"meter_id", "m-1"}}},
                    {"env", {{"METER_IP_ADDRESS", "10.0.0.1"}}},
                    {"services", {{{"protocol", "tcp"}, {"ports", {{{"port", 7000}}}}}}},
                    {"init", {{"cmd", {"/mediator"}}}},
                    {"guest", {{"cpus", 1}}}};
  json full{{"id", "aa01"},
            {"name", "mediator-S1"},
            {"state", "started"},
            {"region", "iad"},
            {"instance_id", "01V1"},
            {"private_ip", "fdaa::1"},
            {"image_ref", {{"registry", "registry.fly.io"}}},
            {"events", json::array({{{"type", "start"}, {"nested", {{"deep", {1, 2, 3}}}}}})},
            {"checks", json::array()},
            {"config", config}};
  fake.add_machine(kApp, full);
  fake.add_machine(
      kApp, json{{"id", "aa02"}, {"name", "mediator-S2"}, {"region", "iad"}, {"config", nullptr}});

  const auto [records, answer] = list_all("iad");
  ASSERT_TRUE(answer.done()) << answer.reason();
  EXPECT_EQ(answer.value, json::array());
  json expected = full;
  for (const char* dropped : {"image_ref", "events", "checks"}) expected.erase(dropped);
  EXPECT_EQ(
      records,
      json::array(
          {expected,
           {{"id", "aa02"}, {"region", "iad"}, {"name", "mediator-S2"}, {"config", nullptr}}}));
  EXPECT_EQ(last_request().query.at("region"), "iad");
  list_all("");
  EXPECT_TRUE(last_request().query.empty()) << "no region: every region";
}

TEST_F(ListingTest, ALargeListingArrivesInPiecesAndIsKeptAsSent) {
  // Long enough to arrive in many pieces, so that texts and keys straddle their seams; the
  // token in it is data, kept as it is.
  const std::string hidden = json_escaped(kToken);
  std::string body = "[";
  for (int i = 0; i < 2000; ++i) {
    body += R"({"id":"m)" + std::to_string(i) + R"(","name":"mediator-x","state":"started",)" +
            R"("config":{"metadata":{)" + hidden + R"(:"x )" + std::string(kToken) +
            R"( y"}},"events":[)" + std::string(100, ' ') + "]},";
  }
  body.back() = ']';
  fake.inject({.method = "GET", .times = 1, .status = 200, .body = body});

  const auto [records, answer] = list_all();
  ASSERT_TRUE(answer.done()) << answer.reason();
  ASSERT_EQ(records.size(), 2000U);
  EXPECT_EQ(records[1999]["id"], "m1999");
  EXPECT_EQ(records[1234]["config"]["metadata"],
            json({{kToken, "x " + std::string(kToken) + " y"}}));
}

TEST_F(ListingTest, AListingFailsWithTheVerdictOfItsAnswer) {
  const Answer not_a_list = answer_once(200, R"({"machines": []})");
  EXPECT_TRUE(not_a_list.unanswered());
  EXPECT_THAT(not_a_list.reason(), HasSubstr("expected a list of machines"));
  const Answer broken = answer_once(200, R"([{"id": "x",)");
  EXPECT_TRUE(broken.unanswered());
  EXPECT_THAT(broken.reason(), HasSubstr("malformed JSON"));
  const Answer deep = answer_once(200, std::string(100'000, '[') + std::string(100'000, ']'));
  EXPECT_EQ(deep.value, json({{"error", "answer nested too deeply"}}));
  EXPECT_TRUE(deep.unanswered());
  const Answer refused = answer_once(404, R"({"error":"no app"})");
  EXPECT_TRUE(refused.refused());
  EXPECT_EQ(refused.value, json({{"error", "no app"}}));
}

TEST_F(ListingTest, RecordsHandedOverBeforeABreakAreNoListing) {
  for (const char* id : {"aa01", "aa02", "aa03"}) seed_machine(id, "started");
  const auto [records, answer] = list_all();
  EXPECT_TRUE(answer.done());
  EXPECT_EQ(records.size(), 3U);
  EXPECT_EQ(records[2]["id"], "aa03");

  fake.inject({.method = "GET", .times = 1, .status = 200, .body = R"([{"id":"a"},7,{"id":)"});
  const auto [partial, broken] = list_all();
  EXPECT_TRUE(broken.unanswered());
  EXPECT_EQ(partial, json({{{"id", "a"}}, 7}));
}

TEST_F(ListingTest, RecordsAreReadAsTheClientReadsAnyAnswer) {
  // Every kind of value, also those the fast parser leaves to the other one (beyond 64 bits).
  const std::vector<std::string> records = {
      R"({"id":"a","config":{"n":[-1,0,7,1.5,18446744073709551615,18446744073709551616]}})",
      R"({"id":"b","config":{"t":"\u00e9\ud83d\ude00\"\\/","b":[true,false,null],"o":{}}})",
      R"({"id":"c","id":"c2","config":{"k":1,"k":2}})",  // the last of a repeated key
      R"("text")",
      "17",
      "null",
      "[1,[2]]"};
  std::string body = " [ ";
  for (const auto& record : records) body += record + " ,\n";
  body.resize(body.size() - 2);
  body += "] \n";
  fake.inject({.method = "GET", .times = 1, .status = 200, .body = body});

  const auto [taken, answer] = list_all();
  ASSERT_TRUE(answer.done()) << answer.reason();
  ASSERT_EQ(taken.size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const json expected = json::parse(records[i]);
    EXPECT_EQ(taken[i].dump(), expected.dump()) << records[i];
    EXPECT_EQ(taken[i].type(), expected.type()) << records[i];
  }
  EXPECT_TRUE(taken[0]["config"]["n"][1].is_number_unsigned());
  EXPECT_TRUE(taken[0]["config"]["n"][5].is_number_float());
}

TEST_F(ListingTest, AListingThatIsNotAWholeListFails) {
  const std::string big_record =
      R"({"id":"x","events":")" + std::string(listing::kMaxRecordBytes, 'e') + R"("})";
  const struct {
    std::string body;
    std::string reason;
  } cases[] = {
      {"", "malformed JSON"},
      {"[", "malformed JSON"},
      {"[{}", "malformed JSON"},
      {"[{},]", "malformed JSON"},
      {"[{}{}]", "malformed JSON"},
      {"[{}] x", "malformed JSON"},
      {"[{}][]", "malformed JSON"},
      {R"([{"id":"a"]])", "malformed JSON"},
      {R"([{"id":"\ud800"}])", "malformed JSON"},  // half a surrogate pair
      {"[{\"id\":\"\xff\"}]", "malformed JSON"},
      {"[tru]", "malformed JSON"},
      // A NUL is no end of the text: what follows it is read too.
      {"[18446744073709551616" + std::string(1, '\0') + "garbage]", "malformed JSON"},
      {"[{}]" + std::string(1, '\0'), "malformed JSON"},
      {"[" + big_record + "]", "larger than 1 MiB"},
      {"[" + std::string(200, '[') + std::string(200, ']') + "]", "nested too deeply"},
      {"7", "expected a list of machines, got: 7"},
  };
  for (const auto& c : cases) {
    const Answer answer = answer_once(200, c.body);
    EXPECT_TRUE(answer.unanswered()) << c.body.substr(0, 40);
    EXPECT_THAT(answer.reason(), HasSubstr(c.reason)) << c.body.substr(0, 40);
  }
}

TEST_F(ListingTest, AListingLargerThanAnyWholeAnswerIsRead) {
  // Past the cap on whole answers: only each record is bounded.
  const std::string record =
      R"({"id":"big","events":[")" + std::string(listing::kMaxRecordBytes - 100, 'e') + R"("]})";
  std::string body = "[";
  const std::size_t count = transport::kMaxResponseBytes / record.size() + 2;
  for (std::size_t i = 0; i < count; ++i) body += record + ",";
  body.back() = ']';
  fake.inject({.method = "GET", .times = 1, .status = 200, .body = std::move(body)});

  const auto [taken, answer] = list_all();
  ASSERT_TRUE(answer.done()) << answer.reason();
  EXPECT_EQ(taken.size(), count);
  EXPECT_EQ(taken[0], json({{"id", "big"}}));
}

TEST_F(ApiTest, UpdateSendsTheWholeConfigWithTheListedVersion) {
  seed_machine("aa01", "started");
  const json config{{"image", "img:2"}, {"metadata", {{"meter_id", "m-1"}}}};

  const Answer answer = client.update_machine(kApp, "aa01", config, "01HEPA330HZ37A78TK080NAK1M");
  ASSERT_TRUE(answer.done()) << answer.reason();
  EXPECT_EQ(answer.value["config"], config);
  EXPECT_NE(answer.value["instance_id"], "01HEPA330HZ37A78TK080NAK1M");
  const RecordedRequest request = last_request();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/v1/apps/meters-eu/machines/aa01");
  EXPECT_EQ(json::parse(request.body),
            json({{"config", config}, {"current_version", "01HEPA330HZ37A78TK080NAK1M"}}));
  EXPECT_TRUE(client.wait_machine(kApp, "aa01", answer.value["instance_id"], "started").done());

  // The old version is stale now; the platform says no and nothing changes.
  const Answer stale =
      client.update_machine(kApp, "aa01", {{"image", "img:3"}}, "01HEPA330HZ37A78TK080NAK1M");
  EXPECT_TRUE(stale.refused());
  EXPECT_THAT(stale.reason(), HasSubstr("failed_precondition"));
  EXPECT_EQ(fake.machine(kApp, "aa01")->at("config")["image"], "img:2");
  EXPECT_THROW(client.update_machine(kApp, "aa01", json::array(), ""), std::invalid_argument);
}

TEST_F(ApiTest, UpdateIsRetriedOnThrottlingOnly) {
  seed_machine("aa01", "started");
  fake.inject({.method = "POST", .times = 1, .status = 429, .retry_after_seconds = 2});
  EXPECT_TRUE(client.update_machine(kApp, "aa01", {{"image", "img:2"}}, "").done());
  EXPECT_EQ(sleeps, (std::vector<std::chrono::milliseconds>{1000ms}));  // capped by max_backoff

  fake.clear_requests();
  fake.inject({.method = "POST", .times = 1, .status = 503});
  EXPECT_TRUE(client.update_machine(kApp, "aa01", {{"image", "img:3"}}, "").unanswered());
  EXPECT_EQ(fake.requests().size(), 1U);
}

}  // namespace
}  // namespace corvane::api::testing
