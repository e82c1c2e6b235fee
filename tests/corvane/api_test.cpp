// What the client puts on the wire: methods, paths, query strings, headers and bodies.
#include <functional>
#include <optional>
#include <stdexcept>

#include <ostream>

#include "corvane/api_fixture.hpp"

namespace corvane::api::testing {
namespace {

TEST_F(ApiTest, ListAsksForTheRegionWithABearerToken) {
  seed_machine("1857156b526dd8", "started", "iad");
  seed_machine("2857156b526dd8", "started", "ams");

  const json machines = client.list(kApp, "iad");

  ASSERT_TRUE(machines.is_array()) << machines.dump();
  ASSERT_EQ(machines.size(), 1u);
  EXPECT_EQ(machines[0]["id"], "1857156b526dd8");
  const RecordedRequest request = last_request();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, "/v1/apps/meters-eu/machines");
  EXPECT_EQ(request.query, (std::map<std::string, std::string>{{"region", "iad"}}));
  EXPECT_EQ(request.header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(request.body, "");
}

TEST_F(ApiTest, MacaroonTokenIsSentAsTheWholeHeader) {
  const std::string macaroon = "FlyV1 fm2_lJPECAAAAAAAAMxF,fo1_abcdef";
  FakePlatform platform({.token = macaroon, .apps = {kApp}});
  API macaroon_client(macaroon, options_for(platform));

  EXPECT_EQ(macaroon_client.list(kApp, "iad"), json::array());
  EXPECT_EQ(platform.requests().at(0).header("authorization"), macaroon);
}

TEST_F(ApiTest, OddAppNamesIdsAndQueryValuesSurviveEncoding) {
  const std::string app = "meters eu/ü?#&";
  const std::string id = "id/with?odd&chars";
  fake.add_machine(app, json{{"id", id}, {"state", "stopped"}, {"instance_id", "x"}});

  const json machine = client.get(app, id);
  EXPECT_EQ(machine["id"], id) << machine.dump();
  EXPECT_EQ(last_request().path, "/v1/apps/" + app + "/machines/" + id);

  client.wait(app, id, "a&b=c d", "stopped");
  const RecordedRequest wait = last_request();
  EXPECT_EQ(wait.query.at("instance_id"), "a&b=c d");
  EXPECT_EQ(wait.query.at("state"), "stopped");
}

struct CallCase {
  std::string name;
  std::function<json(API&)> call;
  std::string method;
  std::string path;
  std::map<std::string, std::string> query;
};

void PrintTo(const CallCase& row, std::ostream* out) { *out << row.name; }

class CallShapeTest : public ApiTest, public ::testing::WithParamInterface<CallCase> {};

TEST_P(CallShapeTest, SendsMethodPathAndQuery) {
  seed_machine("1857156b526dd8", "stopped");

  const json result = GetParam().call(client);

  EXPECT_FALSE(result.contains("error")) << result.dump();
  const RecordedRequest request = last_request();
  EXPECT_EQ(request.method, GetParam().method);
  EXPECT_EQ(request.path, GetParam().path);
  EXPECT_EQ(request.query, GetParam().query);
  // Only create carries a body; stop must send none (or an object) to be accepted.
  EXPECT_EQ(request.body, "");
  EXPECT_EQ(request.header("Content-Type"), "");
}

const std::string kMachinePath = "/v1/apps/meters-eu/machines/1857156b526dd8";

INSTANTIATE_TEST_SUITE_P(
    Calls, CallShapeTest,
    ::testing::Values(
        CallCase{"start",
                 [](API& api) { return api.start(kApp, "1857156b526dd8"); },
                 "POST",
                 kMachinePath + "/start",
                 {}},
        CallCase{"stop",
                 [](API& api) { return api.stop(kApp, "1857156b526dd8"); },
                 "POST",
                 kMachinePath + "/stop",
                 {}},
        CallCase{"get",
                 [](API& api) { return api.get(kApp, "1857156b526dd8"); },
                 "GET",
                 kMachinePath,
                 {}},
        CallCase{"wait",
                 [](API& api) { return api.wait(kApp, "1857156b526dd8", "01HEPA", "stopped"); },
                 "GET",
                 kMachinePath + "/wait",
                 {{"instance_id", "01HEPA"}, {"state", "stopped"}, {"timeout", "1"}}},
        CallCase{"destroy",
                 [](API& api) { return api.destroy(kApp, "1857156b526dd8", false, "iad"); },
                 "DELETE",
                 kMachinePath,
                 {{"force", "false"}}},
        CallCase{"destroy_forced",
                 [](API& api) { return api.destroy(kApp, "1857156b526dd8", true, "iad"); },
                 "DELETE",
                 kMachinePath,
                 {{"force", "true"}}}),
    [](const auto& info) { return info.param.name; });

struct PortsCase {
  std::string name;
  std::optional<int> port;
  std::optional<int> additional_internal_port;
  json services;
};

void PrintTo(const PortsCase& row, std::ostream* out) { *out << row.name; }

class CreateBodyTest : public ApiTest, public ::testing::WithParamInterface<PortsCase> {};

json service(int port) {
  return {{"protocol", "tcp"}, {"internal_port", port}, {"ports", {{{"port", port}}}}};
}

TEST_P(CreateBodyTest, BuildsTheMachineRequest) {
  const json created =
      client.create(kApp, "registry.fly.io/mediator:1", {"/app/mediator --serve"},
                    {.port = GetParam().port,
                     .additional_internal_port = GetParam().additional_internal_port,
                     .name = "mediator-4711",
                     .env_vars = {{"METER_IP", "10.0.0.7"}},
                     .metadata = {{"meter_id", "4711"}},
                     .extra_config = {{"region", "ams"}}});

  ASSERT_TRUE(created.contains("id")) << created.dump();
  EXPECT_EQ(created["id"].get<std::string>().size(), 14u);
  const RecordedRequest request = last_request();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/v1/apps/meters-eu/machines");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  const json expected{{"name", "mediator-4711"},
                      {"region", "ams"},
                      {"config",
                       {{"image", "registry.fly.io/mediator:1"},
                        {"init", {{"cmd", {"/app/mediator --serve"}}}},
                        {"env", {{"METER_IP", "10.0.0.7"}}},
                        {"metadata", {{"meter_id", "4711"}}},
                        {"services", GetParam().services}}}};
  EXPECT_EQ(json::parse(request.body), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, CreateBodyTest,
    ::testing::Values(
        PortsCase{"none", std::nullopt, std::nullopt, json::array()},
        PortsCase{"port", 50051, std::nullopt, json::array({service(50051)})},
        PortsCase{"both", 50051, 44444, json::array({service(50051), service(44444)})},
        PortsCase{"additional_only", std::nullopt, 44444, json::array({service(44444)})}),
    [](const auto& info) { return info.param.name; });

TEST_F(ApiTest, ExtraConfigMergesIntoConfigInsteadOfReplacingIt) {
  client.create(kApp, "img:1", {"run"},
                {.extra_config = {{"region", "ams"}, {"config", {{"guest", {{"cpus", 1}}}}}}});

  const json body = json::parse(last_request().body);
  EXPECT_EQ(body["config"]["image"], "img:1");
  EXPECT_EQ(body["config"]["guest"]["cpus"], 1);
}

TEST_F(ApiTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  EXPECT_THROW(client.get("", "1857156b526dd8"), std::invalid_argument);
  // An empty id would otherwise turn get into list and destroy into a bad path.
  EXPECT_THROW(client.get(kApp, ""), std::invalid_argument);
  EXPECT_THROW(client.destroy(kApp, "", true, "iad"), std::invalid_argument);
  EXPECT_THROW(client.create(kApp, "img", {"run"}, {.port = 0}), std::invalid_argument);
  EXPECT_THROW(client.create(kApp, "img", {"run"}, {.additional_internal_port = 70000}),
               std::invalid_argument);
  EXPECT_THROW(client.create(kApp, "img", {"run"}, {.env_vars = json::array()}),
               std::invalid_argument);
  EXPECT_TRUE(fake.requests().empty());

  API taken = std::move(client);
  EXPECT_THROW(client.list(kApp, "iad"), std::logic_error);  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace corvane::api::testing
