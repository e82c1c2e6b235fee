// Construction, the state maps, the metadata predicate and the small outside
// modules the adapter is built on.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "quelmar/orchestrate/adapter/vostrel.hpp"
#include "support/log_capture.hpp"
#include "vostrel_fixture.hpp"

namespace quelmar::orchestrate::adapter::vostrel::testing {
namespace {

using nlohmann::json;

struct ConstructionRow {
  const char* label;
  bool is_single_meter_app;
  std::optional<std::string> serial;
  std::optional<bool> use_private_address;
  std::optional<std::string> region;
  bool expected_private;
  std::string expected_region;
};

class ConstructionTest : public VostrelTest,
                         public ::testing::WithParamInterface<ConstructionRow> {};

TEST_P(ConstructionTest, AppliesDefaultsOnlyToAbsentValues) {
  const auto& row = GetParam();
  auto o = options();
  o.is_single_meter_app = row.is_single_meter_app;
  o.serial = row.serial;
  o.use_private_address = row.use_private_address;
  o.region = row.region;
  FlyAdapter adapter(o);
  EXPECT_EQ(adapter.use_private_address(), row.expected_private);
  EXPECT_EQ(adapter.region(), row.expected_region);
  EXPECT_EQ(adapter.serial(), row.serial);
  EXPECT_EQ(adapter.is_single_meter_app(), row.is_single_meter_app);
}

INSTANTIATE_TEST_SUITE_P(
    Defaults, ConstructionTest,
    ::testing::Values(
        ConstructionRow{"multi_defaults", false, std::nullopt, std::nullopt, std::nullopt, true,
                        corvane::api::FLY_REGION_DEFAULT},
        ConstructionRow{"single_defaults_to_public", true, "S1", std::nullopt, std::nullopt, false,
                        corvane::api::FLY_REGION_DEFAULT},
        ConstructionRow{"single_with_empty_serial", true, "", std::nullopt, "ams", false, "ams"},
        ConstructionRow{"single_may_use_private", true, "S1", true, std::nullopt, true,
                        corvane::api::FLY_REGION_DEFAULT},
        ConstructionRow{"multi_may_use_public", false, std::nullopt, false, "", false, ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(VostrelTest, SingleMeterAppWithoutSerialIsRefusedWithTheExactMessage) {
  auto o = options();
  o.is_single_meter_app = true;
  try {
    FlyAdapter adapter(o);
    FAIL() << "constructed without a serial";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "FlyAdapter needs a serial to work with a single meter app");
  }
}

TEST_F(VostrelTest, ConstructionKeepsAttributesAndSendsNothing) {
  auto o = options();
  o.app_name.reset();
  FlyAdapter adapter(o);
  EXPECT_FALSE(adapter.fly_app().has_value());
  EXPECT_EQ(adapter.dns_server(), dns.name_server());
  EXPECT_EQ(adapter.image(), kImage);
  EXPECT_TRUE(platform.requests().empty());
  EXPECT_EQ(dns.query_count(fake_fly::DnsTransport::kUdp), 0U);
}

// Operations that need the app name refuse before any traffic.
TEST_F(VostrelTest, OperationsWithoutAnAppNameFailBeforeAnyRequestOrQuery) {
  auto o = options();
  o.app_name.reset();
  FlyAdapter adapter(o);
  const Container machine{.id = "m1", .port = 7000};
  const std::vector<std::pair<const char*, std::function<void()>>> calls{
      {"list", [&] { adapter.list(); }},
      {"create",
       [&] { adapter.create({.cmd = "run", .meter_id = "1", .serial = "S", .ip_address = "ip"}); }},
      {"start", [&] { adapter.start("m1"); }},
      {"stop", [&] { adapter.stop("m1"); }},
      {"destroy", [&] { adapter.destroy("m1", true); }},
      {"get_public_address", [&] { adapter.get_public_address(); }},
      {"get_private_flycast_ip", [&] { adapter.get_private_address(machine); }},
  };
  for (const auto& [operation, call] : calls) {
    try {
      call();
      ADD_FAILURE() << operation << " ran without an app name";
    } catch (const std::logic_error& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("FlyAdapter needs an app name (app_name) for ") + operation);
    }
  }
  EXPECT_TRUE(platform.requests().empty());
  EXPECT_EQ(dns.query_count(fake_fly::DnsTransport::kUdp), 0U);
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(exits.empty());
}

TEST(StateMapsTest, HoldExactlyTheSevenPairsInOrder) {
  std::vector<std::string> fly_texts;
  for (const auto& [state, text] : FLY_STATUS) fly_texts.push_back(text);
  EXPECT_EQ(fly_texts, (std::vector<std::string>{"started", "starting", "stopped", "stopping",
                                                 "destroying", "created", "failed"}));
  std::vector<std::string> container_keys;
  for (const auto& [text, state] : CONTAINER_STATUS) container_keys.push_back(text);
  EXPECT_EQ(container_keys, (std::vector<std::string>{"started", "stopped", "stopping", "starting",
                                                      "destroying", "created", "failed"}));
}

TEST(StateMapsTest, RoundTripEveryState) {
  for (auto state : {ContainerState::CREATED, ContainerState::STARTED, ContainerState::STARTING,
                     ContainerState::STOPPED, ContainerState::STOPPING, ContainerState::REMOVING,
                     ContainerState::FAILED}) {
    EXPECT_EQ(CONTAINER_STATUS.at(FLY_STATUS.at(state)), state) << container::to_string(state);
  }
  EXPECT_EQ(FLY_STATUS.at(ContainerState::REMOVING), "destroying");
  EXPECT_EQ(CONTAINER_STATUS.at("destroying"), ContainerState::REMOVING);
}

TEST(StateMapsTest, UnknownTextsAreKeyErrorsNamingTheKey) {
  for (const std::string text : {"destroyed", "Started", "suspended", ""}) {
    try {
      CONTAINER_STATUS.at(text);
      ADD_FAILURE() << text << " was found";
    } catch (const KeyError& e) {
      EXPECT_EQ(e.key(), text);
      EXPECT_NE(std::string(e.what()).find("'" + text + "'"), std::string::npos);
    }
  }
}

TEST(ContainerStateTest, TextFormIsTheMemberNameAndParsesBackInEitherCase) {
  EXPECT_EQ(container::to_string(ContainerState::REMOVING), "REMOVING");
  EXPECT_EQ(container::to_string(ContainerEnvironment::FLY), "FLY");
  EXPECT_EQ(container::parse_container_state("removing"), ContainerState::REMOVING);
  EXPECT_EQ(container::parse_container_state("STOPPED"), ContainerState::STOPPED);
  EXPECT_EQ(container::parse_container_state("destroying"), std::nullopt);
  EXPECT_EQ(container::parse_container_state(""), std::nullopt);
  EXPECT_EQ(container::parse_container_state("Stopped "), std::nullopt);
  // Every member has its own name, and it parses back to the member.
  for (const auto& [state, name] : container::kContainerStateNames) {
    EXPECT_EQ(container::to_string(state), name);
    EXPECT_EQ(container::parse_container_state(name), state) << name;
  }
  EXPECT_EQ(container::to_string(ContainerState::UNKNOWN), "UNKNOWN");
  EXPECT_THROW(FLY_STATUS.at(ContainerState::UNKNOWN), KeyError);
}

TEST(MetadataFilterTest, MatchesOnlyAnExactEntry) {
  const auto with_metadata = [](json metadata) {
    return json{{"config", {{"metadata", std::move(metadata)}}}};
  };
  std::function<bool(const json&)> filter;
  {
    std::string key = "meter_id";
    std::string value = "m-1";
    filter = metadata_filter_fn(key, value);
  }  // the predicate keeps its own copies
  EXPECT_TRUE(filter(with_metadata({{"meter_id", "m-1"}})));
  EXPECT_TRUE(filter(with_metadata({{"meter_id", "m-1"}})));
  EXPECT_FALSE(filter(with_metadata({{"meter_id", "M-1"}})));
  EXPECT_FALSE(filter(with_metadata({{"meter_id", "m-10"}})));
  EXPECT_FALSE(filter(with_metadata({{"serial", "m-1"}})));
  EXPECT_FALSE(filter(with_metadata(nullptr)));
  EXPECT_FALSE(filter(json{{"config", {{"image", "x"}}}}));
  EXPECT_FALSE(filter(with_metadata({{"meter_id", 1}})));
}

TEST(LoggingTest, LinesAreTheMessageThenFieldsAndHonourTheLevel) {
  auto log = util::logging::get_logger("quelmar.test.logging", __FILE__);
  EXPECT_EQ(util::logging::get_logger("quelmar.test.logging", "other.cpp"), log);
  EXPECT_EQ(log->file(), __FILE__);
  {
    util::logging::CapturedLines captured(*log);
    log->debug("braces {} stay {0}");
    log->info("created", {{"machine_id", "abc"}, {"fly_app", "meters"}});
    log->set_level(util::logging::Level::kWarning);
    log->info("dropped");
    log->error("kept");
    EXPECT_EQ(captured.lines(),
              (std::vector<std::string>{"braces {} stay {0}",
                                        "created machine_id=abc fly_app=meters", "kept"}));
  }
  EXPECT_EQ(log->level(), util::logging::Level::kInfo);
}

}  // namespace
}  // namespace quelmar::orchestrate::adapter::vostrel::testing
