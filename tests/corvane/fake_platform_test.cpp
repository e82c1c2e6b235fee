// The fake platform's own rules, exercised through the real client.
#include <algorithm>
#include <stdexcept>
#include <thread>

#include "corvane/api_fixture.hpp"

namespace corvane::api::testing {
namespace {

TEST_F(ApiTest, FakeMovesAMachineThroughItsLifecycle) {
  const json created = client.create(kApp, "img:1", {"run"}, {.extra_config = {{"region", "ams"}}});
  ASSERT_EQ(created["state"], "created") << created.dump();
  const std::string id = created["id"];
  EXPECT_EQ(created["instance_id"].get<std::string>().size(), 26u);
  EXPECT_EQ(client.get(kApp, id)["state"], "started");

  const json refused = client.destroy(kApp, id, false, "ams");
  EXPECT_NE(refused["error"].get<std::string>().find("not currently stopped"), std::string::npos);

  EXPECT_EQ(client.stop(kApp, id), (json{{"ok", true}}));
  EXPECT_EQ(client.get(kApp, id)["state"], "stopping");
  EXPECT_EQ(client.get(kApp, id)["state"], "stopped");
  EXPECT_EQ(client.wait(kApp, id, created["instance_id"], "stopped")["ok"], true);

  EXPECT_EQ(client.destroy(kApp, id, false, "ams"), (json{{"ok", true}}));
  EXPECT_EQ(client.list(kApp, "ams"), json::array());
  EXPECT_EQ(client.get(kApp, id)["state"], "destroyed");
  EXPECT_EQ(client.get(kApp, id), (json{{"error", "machine not found"}}));
  EXPECT_EQ(client.wait(kApp, id, "", "destroyed")["ok"], true);
}

TEST_F(ApiTest, FakeForcedDestroyRemovesAStartedMachine) {
  seed_machine("1857156b526dd8", "started");

  EXPECT_EQ(client.destroy(kApp, "1857156b526dd8", true, "iad"), (json{{"ok", true}}));
  EXPECT_FALSE(fake.machine(kApp, "1857156b526dd8").has_value());
}

TEST_F(ApiTest, FakeRefusesWaitForStoppedWithoutInstance) {
  seed_machine("1857156b526dd8", "stopped");

  const json result = client.wait(kApp, "1857156b526dd8", "", "stopped");

  EXPECT_EQ(result, (json{{"error", "instance_id required when waiting for stopped machine"}}));
  EXPECT_EQ(last_request().query.count("instance_id"), 0u);
}

TEST_F(ApiTest, FakeWaitReturnsOnceTheStateChanges) {
  seed_machine("1857156b526dd8", "started");
  // Far longer than a loaded machine needs to change the state: only a missed change runs it out.
  fake.set_wait_hold(30s);

  // The state changes only once the wait is held: the fake records a request and starts
  // holding it under one lock.
  std::thread stopper([this] {
    const auto is_wait = [](const RecordedRequest& r) { return r.path.ends_with("/wait"); };
    while (std::ranges::none_of(fake.requests(), is_wait)) std::this_thread::sleep_for(1ms);
    fake.set_state(kApp, "1857156b526dd8", "stopped");
  });
  const json result = client.wait(kApp, "1857156b526dd8", "01HEPA", "stopped");
  stopper.join();

  // A hold that ran out would have answered 408.
  EXPECT_EQ(result, (json{{"ok", true}, {"state", "stopped"}}));
}

TEST_F(ApiTest, FakeDecodesEachPathSegmentOnItsOwn) {
  fake.add_machine("meters/eu", json{{"id", "a"}});

  EXPECT_EQ(client.list("meters/eu", ""), json::array({{{"id", "a"}}}));
  EXPECT_EQ(last_request().path, "/v1/apps/meters/eu/machines");
}

// An address this host does not have (documentation range): nothing is sent to it.
TEST(FakePlatformStart, ThrowsWhenItCannotListen) {
  EXPECT_THROW(FakePlatform({.host = "192.0.2.1"}), std::runtime_error);
  EXPECT_THROW(FakePlatform({.host = "192.0.2.1", .port = 8080}), std::runtime_error);
}

TEST_F(ApiTest, FakeListsIncompleteRecordsAsSeeded) {
  const json incomplete{{"id", "3857156b526dd8"}, {"name", "mediator-9"}, {"config", nullptr}};
  fake.add_machine(kApp, incomplete);
  fake.add_machine(kApp, json{{"name", "no-id"}});

  EXPECT_EQ(client.list(kApp, ""), json::array({incomplete, {{"name", "no-id"}}}));
  EXPECT_EQ(client.list(kApp, "iad"), json::array()) << "no region, no match";
}

TEST_F(ApiTest, FakeKnowsAppsNamedSeededOrAdded) {
  fake.add_machine("single-meter-4711", json{{"id", "a"}});
  fake.add_app("empty-app");

  EXPECT_EQ(fake.app_names(), (std::set<std::string>{kApp, "single-meter-4711", "empty-app"}));
  EXPECT_EQ(client.list("empty-app", "iad"), json::array());
}

TEST_F(ApiTest, FakeRefusesARequestBodyNestedTooDeeply) {
  json deep = json::array();
  for (int i = 0; i < 200; ++i) deep = json::array({std::move(deep)});
  const json refused = client.create(kApp, "img:1", {"run"}, {.env_vars = {{"DEEP", deep}}});
  EXPECT_EQ(refused, (json{{"error", "invalid_argument: request body must be a JSON object"}}));
  EXPECT_EQ(fake.machines(kApp), json::array());

  // An update too: the fake would render the config it keeps recursively.
  seed_machine("aa01", "started");
  const Answer update = client.update_machine(kApp, "aa01", {{"image", "img:2"}, {"x", deep}}, "");
  EXPECT_TRUE(update.refused()) << update.reason();
  EXPECT_EQ(fake.machine(kApp, "aa01")->at("config")["image"], "img:1");
}

}  // namespace
}  // namespace corvane::api::testing
