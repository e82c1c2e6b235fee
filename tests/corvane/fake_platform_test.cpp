// The fake platform's own rules, exercised through the real client.
#include <thread>

#include "corvane/api_fixture.hpp"

namespace corvane::api::testing {
namespace {

TEST_F(ApiTest, FakeMovesAMachineThroughItsLifecycle) {
  const json created = client.create(APP, "img:1", {"run"}, {.extra_config = {{"region", "ams"}}});
  ASSERT_EQ(created["state"], "created") << created.dump();
  const std::string id = created["id"];
  EXPECT_EQ(created["instance_id"].get<std::string>().size(), 26u);
  EXPECT_EQ(client.get(APP, id)["state"], "started");

  const json refused = client.destroy(APP, id, false, "ams");
  EXPECT_NE(refused["error"].get<std::string>().find("not currently stopped"), std::string::npos);

  EXPECT_EQ(client.stop(APP, id), (json{{"ok", true}}));
  EXPECT_EQ(client.get(APP, id)["state"], "stopping");
  EXPECT_EQ(client.get(APP, id)["state"], "stopped");
  EXPECT_EQ(client.wait(APP, id, created["instance_id"], "stopped")["ok"], true);

  EXPECT_EQ(client.destroy(APP, id, false, "ams"), (json{{"ok", true}}));
  EXPECT_EQ(client.list(APP, "ams"), json::array());
  EXPECT_EQ(client.get(APP, id)["state"], "destroyed");
  EXPECT_EQ(client.get(APP, id), (json{{"error", "machine not found"}}));
  EXPECT_EQ(client.wait(APP, id, "", "destroyed")["ok"], true);
}

TEST_F(ApiTest, FakeForcedDestroyRemovesAStartedMachine) {
  seed_machine("1857156b526dd8", "started");

  EXPECT_EQ(client.destroy(APP, "1857156b526dd8", true, "iad"), (json{{"ok", true}}));
  EXPECT_FALSE(fake.machine(APP, "1857156b526dd8").has_value());
}

TEST_F(ApiTest, FakeRefusesWaitForStoppedWithoutInstance) {
  seed_machine("1857156b526dd8", "stopped");

  const json result = client.wait(APP, "1857156b526dd8", "", "stopped");

  EXPECT_EQ(result, (json{{"error", "instance_id required when waiting for stopped machine"}}));
  EXPECT_EQ(last_request().query.count("instance_id"), 0u);
}

TEST_F(ApiTest, FakeWaitReturnsOnceTheStateChanges) {
  seed_machine("1857156b526dd8", "started");
  fake.set_wait_hold(30s);  // released by the state change, not by the hold

  std::thread stopper([this] { fake.set_state(APP, "1857156b526dd8", "stopped"); });
  const json result = client.wait(APP, "1857156b526dd8", "01HEPA", "stopped");
  stopper.join();

  EXPECT_EQ(result, (json{{"ok", true}, {"state", "stopped"}}));
}

TEST_F(ApiTest, FakeListsIncompleteRecordsAsSeeded) {
  const json incomplete{{"id", "3857156b526dd8"}, {"name", "mediator-9"}, {"config", nullptr}};
  fake.add_machine(APP, incomplete);
  fake.add_machine(APP, json{{"name", "no-id"}});

  EXPECT_EQ(client.list(APP, ""), json::array({incomplete, {{"name", "no-id"}}}));
  EXPECT_EQ(client.list(APP, "iad"), json::array()) << "no region, no match";
}

TEST_F(ApiTest, FakeKnowsAppsNamedSeededOrAdded) {
  fake.add_machine("single-meter-4711", json{{"id", "a"}});
  fake.add_app("empty-app");

  EXPECT_EQ(fake.app_names(), (std::set<std::string>{APP, "single-meter-4711", "empty-app"}));
  EXPECT_EQ(client.list("empty-app", "iad"), json::array());
}

TEST_F(ApiTest, FakeRefusesARequestBodyNestedTooDeeply) {
  json deep = json::array();
  for (int i = 0; i < 200; ++i) deep = json::array({std::move(deep)});
  const json refused = client.create(APP, "img:1", {"run"}, {.env_vars = {{"DEEP", deep}}});
  EXPECT_EQ(refused, (json{{"error", "invalid_argument: request body must be a JSON object"}}));
  EXPECT_EQ(fake.machines(APP), json::array());
}

}  // namespace
}  // namespace corvane::api::testing
