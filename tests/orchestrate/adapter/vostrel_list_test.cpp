// Listing mediator machines: filters, conversion, log lines and key errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vostrel_fixture.hpp"

namespace quelmar::orchestrate::adapter::vostrel::testing {
namespace {

using nlohmann::json;
using util::logging::CapturedLines;

std::vector<std::string> ids(const std::vector<Container>& containers) {
  std::vector<std::string> result;
  for (const auto& c : containers) result.push_back(c.id);
  return result;
}

class ListTest : public VostrelTest {
 protected:
  FlyAdapter adapter{options()};
};

TEST_F(ListTest, ConvertsRecordsInPlatformOrderAndAsksForTheRegion) {
  platform.add_machine(kApp, machine_record("bb01", "mediator-B", "stopped", "m-2", 7002));
  platform.add_machine(kApp, machine_record("aa01", "mediator-A", "destroying", "m-1", 7001));

  const auto containers = adapter.list();

  ASSERT_EQ(ids(containers), (std::vector<std::string>{"bb01", "aa01"}));
  const Container& second = containers[1];
  EXPECT_EQ(second.name, "mediator-A");
  EXPECT_EQ(second.image, kImage);
  EXPECT_EQ(second.port, 7001);
  EXPECT_EQ(second.status, ContainerState::REMOVING);
  EXPECT_EQ(second.container_environment, ContainerEnvironment::FLY);
  EXPECT_EQ(second.metadata.at("meter_id"), "m-1");
  const auto requests = platform.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].query.at("region"), corvane::api::FLY_REGION_DEFAULT);
}

TEST_F(ListTest, KeepsOnlyMediatorNamesWithAConfiguration) {
  platform.add_machine(kApp, machine_record("n1", "mediator", "started", "m"));
  platform.add_machine(kApp, machine_record("n2", "Mediator-X", "started", "m"));
  platform.add_machine(kApp, machine_record("n3", "worker-mediator-X", "started", "m"));
  platform.add_machine(kApp, machine_record("n4", "mediator-", "started", "m"));
  // Dropped before anything else is read from it.
  platform.add_machine(kApp, {{"id", "n5"}, {"name", "mediator-nocfg"}, {"config", nullptr}});
  platform.add_machine(kApp, machine_record("n6", "mediator-ok", "started", "m"));

  EXPECT_EQ(ids(adapter.list()), (std::vector<std::string>{"n4", "n6"}));
  EXPECT_EQ(ids(adapter.list(std::pair{std::string("meter_id"), std::string("m")},
                             ContainerState::STARTED)),
            (std::vector<std::string>{"n4", "n6"}));
}

TEST_F(ListTest, FiltersByMetadataThenStateAndLogsBothInThatOrder) {
  platform.add_machine(kApp, machine_record("a1", "mediator-1", "started", "m-1"));
  platform.add_machine(kApp, machine_record("a2", "mediator-2", "stopped", "m-1"));
  platform.add_machine(kApp, machine_record("a3", "mediator-3", "stopped", "M-1"));
  platform.add_machine(kApp, machine_record("a4", "mediator-4", "stopped", "m-1"));
  auto no_meter = machine_record("a5", "mediator-5", "stopped", "x");
  no_meter["config"]["metadata"].erase("meter_id");
  platform.add_machine(kApp, no_meter);

  CapturedLines captured(*logger);
  const auto stopped =
      adapter.list(std::pair{std::string("meter_id"), std::string("m-1")}, ContainerState::STOPPED);

  EXPECT_EQ(ids(stopped), (std::vector<std::string>{"a2", "a4"}));
  EXPECT_EQ(captured.lines(), (std::vector<std::string>{"metadata filter [('meter_id', 'm-1')]",
                                                        "status filter [STOPPED]"}));
  EXPECT_EQ(ids(adapter.list(std::pair{std::string("meter_id"), std::string("m-1")})),
            (std::vector<std::string>{"a1", "a2", "a4"}));
}

TEST_F(ListTest, PlatformFailureIsOneWarningAndAnEmptyList) {
  auto o = options();
  o.app_name = "no-such-app";
  FlyAdapter other(o);

  CapturedLines captured(*logger);
  const auto containers =
      other.list(std::pair{std::string("meter_id"), std::string("m")}, ContainerState::STARTED);

  EXPECT_TRUE(containers.empty());
  const auto lines = captured.lines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_TRUE(lines[0].starts_with("failed to get machines {")) << lines[0];
  EXPECT_NE(lines[0].find("\"error\""), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(" fly_app=no-such-app")) << lines[0];
  EXPECT_EQ(lines[0].find(kToken), std::string::npos);
}

struct BrokenRecordRow {
  const char* label;
  std::function<void(json&)> damage;
  std::string expected_key;
  bool with_metadata_filter = false;
};

class BrokenRecordTest : public ListTest, public ::testing::WithParamInterface<BrokenRecordRow> {};

TEST_P(BrokenRecordTest, FailsTheWholeListNamingTheMissingKey) {
  platform.add_machine(kApp, machine_record("ok01", "mediator-ok", "started", "m"));
  auto broken = machine_record("bad1", "mediator-bad", "started", "m");
  GetParam().damage(broken);
  platform.add_machine(kApp, broken);

  try {
    if (GetParam().with_metadata_filter) {
      adapter.list(std::pair{std::string("meter_id"), std::string("m")});
    } else {
      adapter.list();
    }
    FAIL() << "listed a broken record";
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), GetParam().expected_key) << e.what();
    EXPECT_NE(std::string(e.what()).find("'" + e.key() + "'"), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    MissingKeys, BrokenRecordTest,
    ::testing::Values(
        BrokenRecordRow{"name", [](json& r) { r.erase("name"); }, "name"},
        BrokenRecordRow{"config", [](json& r) { r.erase("config"); }, "config"},
        BrokenRecordRow{"image", [](json& r) { r["config"].erase("image"); }, "image"},
        BrokenRecordRow{"id_before_image",
                        [](json& r) {
                          r.erase("id");
                          r["config"].erase("image");
                        },
                        "id"},
        BrokenRecordRow{"state", [](json& r) { r.erase("state"); }, "state"},
        BrokenRecordRow{"metadata", [](json& r) { r["config"].erase("metadata"); }, "metadata"},
        BrokenRecordRow{"services", [](json& r) { r["config"].erase("services"); }, "services"},
        BrokenRecordRow{"no_service", [](json& r) { r["config"]["services"] = json::array(); },
                        "services"},
        BrokenRecordRow{"no_port",
                        [](json& r) { r["config"]["services"][0]["ports"] = json::array(); },
                        "ports"},
        BrokenRecordRow{"port_after_filter",
                        [](json& r) { r["config"]["services"][0]["ports"][0].erase("port"); },
                        "port", true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ListTest, AServicePortThatIsNoPortIsAKeyErrorNamingTheMachine) {
  for (const json& port : {json(1e300), json(99999999999LL), json(-5), json(80.5), json("80"),
                           json(0), json(65536), json(nullptr)}) {
    fake_fly::FakePlatform own(platform_options());
    auto o = options();
    o.client.base_url = own.base_url();
    FlyAdapter fresh(o);
    auto record = machine_record("bad1", "mediator-bad", "started", "m");
    record["config"]["services"][0]["ports"][0]["port"] = port;
    own.add_machine(kApp, record);
    try {
      fresh.list();
      ADD_FAILURE() << "listed port " << port.dump();
    } catch (const KeyError& e) {
      EXPECT_EQ(e.key(), "port") << port.dump();
      EXPECT_NE(std::string(e.what()).find("machine bad1"), std::string::npos) << e.what();
    }
  }
  platform.add_machine(kApp, machine_record("ok1", "mediator-ok", "started", "m", 65535));
  EXPECT_EQ(adapter.list().at(0).port, 65535);
}

// The platform has more states than the seven; one such machine must not fail
// every listing of the application.
TEST_F(ListTest, AStateOutsideTheSevenIsListedAsUnknownWithItsText) {
  platform.add_machine(kApp, machine_record("u1", "mediator-1", "suspended", "m-1"));
  platform.add_machine(kApp, machine_record("u2", "mediator-2", "started", "m-2"));
  platform.add_machine(kApp, machine_record("u3", "mediator-3", "Started", "m-3"));

  const auto all = adapter.list();
  ASSERT_EQ(ids(all), (std::vector<std::string>{"u1", "u2", "u3"}));
  EXPECT_EQ(all[0].status, ContainerState::UNKNOWN);
  EXPECT_EQ(all[0].platform_state, "suspended");
  EXPECT_EQ(all[1].status, ContainerState::STARTED);
  EXPECT_EQ(all[1].platform_state, "started");
  EXPECT_EQ(all[2].status, ContainerState::UNKNOWN);
  EXPECT_EQ(ids(adapter.list(std::nullopt, ContainerState::STARTED)),
            (std::vector<std::string>{"u2"}));
  // Unknown is no platform state: it cannot be asked for.
  EXPECT_THROW(adapter.list(std::nullopt, ContainerState::UNKNOWN), KeyError);
}

TEST_F(ListTest, StrictListingThrowsThePlatformsReason) {
  auto o = options();
  o.app_name = "no-such-app";
  FlyAdapter other(o);
  CapturedLines captured(*logger);
  try {
    other.list_strict();
    FAIL() << "a failed listing passed";
  } catch (const PlatformError& e) {
    EXPECT_TRUE(e.answer().contains("error")) << e.answer().dump();
    EXPECT_EQ(std::string(e.what()), "Could not find App \"no-such-app\"");
  }
  EXPECT_TRUE(captured.lines().empty());

  platform.add_machine(kApp, machine_record("s1", "mediator-1", "started", "m-1"));
  EXPECT_EQ(ids(adapter.list_strict(std::pair{std::string("meter_id"), std::string("m-1")})),
            (std::vector<std::string>{"s1"}));
}

TEST_F(ListTest, ABrokenListingIsThePlatformsFailureEvenAfterABadRecord) {
  platform.inject({.method = "GET", .times = 1, .status = 200, .body = R"([{"id":"x"},{"name":)"});
  EXPECT_THROW(adapter.list_strict(), PlatformError);
  platform.inject({.method = "GET", .times = 1, .status = 200, .body = R"([{"id":"x"}])"});
  EXPECT_THROW(adapter.list_strict(), KeyError);
}

TEST_F(ListTest, MetadataFilterQuietlyDropsAConfigWithoutMetadata) {
  auto bare = machine_record("b1", "mediator-bare", "started", "m");
  bare["config"].erase("metadata");
  platform.add_machine(kApp, bare);
  platform.add_machine(kApp, machine_record("b2", "mediator-ok", "started", "m"));
  EXPECT_EQ(ids(adapter.list(std::pair{std::string("meter_id"), std::string("m")})),
            (std::vector<std::string>{"b2"}));
}

}  // namespace
}  // namespace quelmar::orchestrate::adapter::vostrel::testing
