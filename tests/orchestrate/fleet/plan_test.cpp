// Planning: one listing of every region compared with the inventory, and plans as files.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "orchestrate/fleet/fleet_fixture.hpp"
#include "support/temp_dir.hpp"

namespace quelmar::orchestrate::fleet::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST_F(FleetTest, PlansEveryKindOfActionFromOneListingOfEveryRegion) {
  platform.add_machine(kApp, mediator("aa01", "started", "m-1"));
  platform.add_machine(kApp, mediator("aa02", "stopped", "m-2", 50051, "ams"));
  platform.add_machine(kApp, mediator("aa03", "started", "m-3", 7000));
  platform.add_machine(kApp, mediator("aa04", "started", "m-9", 50051, "syd"));
  platform.add_machine(kApp, mediator("aa05", "started", "m-1", 50051, "ams"));
  json no_meter = mediator("aa06", "started", "m-6");
  no_meter["config"]["metadata"].erase("meter_id");
  platform.add_machine(kApp, no_meter);
  json other = mediator("bb07", "started", "m-4");
  other["name"] = "worker-bb07";
  platform.add_machine(kApp, other);
  json unconfigured = mediator("aa08", "started", "m-4");
  unconfigured["config"] = nullptr;
  platform.add_machine(kApp, unconfigured);

  FlyAdapter fly(options());
  const std::vector<Meter> meters{meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3"),
                                  meter("m-4", "S4")};
  const Plan kept = fleet::plan(fly, meters, plan_options(false));
  EXPECT_THAT(described(kept),
              ElementsAre("ok m-1 aa01 iad", "start m-2 aa02 ams",
                          "update m-3 aa03 iad port:7000->50051", "create m-4 -",
                          "orphan m-9 aa04 syd", "duplicate m-1 aa05 ams", "orphan  aa06 iad"));
  EXPECT_EQ(kept.region, "iad") << "creates go to the adapter's region";
  EXPECT_EQ(kept.actions[5].primary_id, "aa01");
  EXPECT_EQ(kept.summary().kept, 3U);
  EXPECT_EQ(kept.summary().destroy, 0U);
  EXPECT_FALSE(kept.in_step());
  ASSERT_EQ(platform.requests().size(), 1U);
  EXPECT_TRUE(platform.requests()[0].query.empty()) << "no region: every region";

  const Plan pruned = fleet::plan(fly, meters, plan_options(true));
  EXPECT_EQ(pruned.summary().destroy, 3U);
  EXPECT_THAT(described(pruned)[4], "orphan m-9 aa04 syd prune");
}

TEST_F(FleetTest, KeptDuplicatesAndOrphansLeaveAFleetInStep) {
  platform.add_machine(kApp, mediator("aa01", "started", "m-1"));
  platform.add_machine(kApp, mediator("aa09", "started", "m-9"));
  FlyAdapter fly(options());
  EXPECT_TRUE(fleet::plan(fly, {meter("m-1", "S1")}, plan_options(false)).in_step());
  EXPECT_FALSE(fleet::plan(fly, {meter("m-1", "S1")}, plan_options(true)).in_step());
}

TEST_F(FleetTest, DeadRecordsAreNobodysMediatorAndTheFirstStartedOneIsThePrimary) {
  json gone = mediator("aa00", "destroyed", "m-1");
  platform.add_machine(kApp, gone);
  platform.add_machine(kApp, mediator("aa01", "destroying", "m-1"));
  platform.add_machine(kApp, mediator("aa02", "stopped", "m-1", 50051, "ams"));
  platform.add_machine(kApp, mediator("aa03", "started", "m-1", 50051, "syd"));
  platform.add_machine(kApp, mediator("aa09", "destroyed", "m-9"));
  FlyAdapter fly(options());

  const Plan plan = fleet::plan(fly, {meter("m-1", "S1")}, plan_options(true));
  EXPECT_THAT(described(plan), ElementsAre("ok m-1 aa03 syd", "duplicate m-1 aa02 ams prune"));
  EXPECT_EQ(plan.actions[1].primary_id, "aa03");

  // Without a started one, the first listed is the primary.
  platform.set_state(kApp, "aa03", "stopped");
  EXPECT_THAT(described(fleet::plan(fly, {meter("m-1", "S1")}, plan_options(true))),
              ElementsAre("start m-1 aa02 ams", "duplicate m-1 aa03 syd prune"));
}

TEST_F(FleetTest, EveryComparedFieldShowsWhereItComesFromAndGoesTo) {
  json moved = mediator("aa01", "started", "m-1");
  moved["config"]["metadata"]["ip_address"] = "10.0.0.1";
  moved["config"]["env"].erase("USE_CERT_AUTH");
  moved["config"]["image"] = "registry.fly.io/mediator:6";
  moved["config"]["init"]["cmd"] = {"/mediator-v1"};
  platform.add_machine(kApp, moved);
  FlyAdapter fly(options());
  Meter m = meter("m-1", "S1");
  m.cert_auth = true;

  const Plan plan = fleet::plan(fly, {m}, {.cmd = "/mediator-v2"});
  ASSERT_EQ(plan.actions.size(), 1U);
  EXPECT_THAT(described(plan),
              ElementsAre("update m-1 aa01 iad ip_address:\"10.0.0.1\"->\"10.1.2.3\" "
                          "USE_CERT_AUTH:null->\"true\" "
                          "image:\"registry.fly.io/mediator:6\"->\"registry.fly.io/mediator:7\" "
                          "cmd:[\"/mediator-v1\"]->[\"/mediator-v2\"]"));
  // The config to send is the listed one with exactly those fields changed.
  json expected = moved["config"];
  expected["metadata"]["ip_address"] = "10.1.2.3";
  expected["env"]["USE_CERT_AUTH"] = "true";
  expected["image"] = kImage;
  expected["init"]["cmd"] = {"/mediator-v2"};
  EXPECT_EQ(plan.actions[0].body, expected);

  // Without a command or an image to compare, neither counts.
  auto no_image = options();
  no_image.image = "";
  FlyAdapter plain(no_image);
  EXPECT_THAT(
      described(fleet::plan(plain, {m}, {}))[0],
      "update m-1 aa01 iad ip_address:\"10.0.0.1\"->\"10.1.2.3\" USE_CERT_AUTH:null->\"true\"");
}

TEST_F(FleetTest, AFailedListingIsAnErrorNotAnEmptyFleet) {
  auto o = options();
  o.api_token = "wrong-token";
  FlyAdapter fly(o);
  try {
    (void)fleet::plan(fly, {meter("m-1", "S1")});
    FAIL() << "expected an error";
  } catch (const adapter::vostrel::PlatformError& e) {
    EXPECT_THAT(e.what(), HasSubstr("token validation error"));
    EXPECT_EQ(e.verdict(), corvane::api::Verdict::kRefused);
  }
  EXPECT_THROW(addresses(fly), adapter::vostrel::PlatformError);
  json nameless = mediator("aa01", "started", "m-1");
  nameless.erase("id");
  platform.add_machine(kApp, nameless);
  FlyAdapter listed(options());
  EXPECT_THROW(fleet::plan(listed, {meter("m-1", "S1")}), adapter::vostrel::KeyError);
}

TEST_F(FleetTest, APlanFileHoldsEverythingToSendAndReadsBackTheSame) {
  json config_with_secret = mediator("aa01", "started", "m-1", 7000);
  config_with_secret["config"]["env"]["DB"] = std::string("postgres://u:") + kToken + "@db/x";
  platform.add_machine(kApp, config_with_secret);
  platform.add_machine(kApp, mediator("aa09", "stopped", "m-9", 50051, "ams"));
  FlyAdapter fly(options());
  PlanOptions o = plan_options(true);
  o.inventory_sha256 = "abc123";
  const Plan plan = fleet::plan(fly, {meter("m-1", "S1"), meter("m-2", "S2")}, o);

  const auto dir = quelmar::testing::make_temp_dir("quelmar-plan");
  const std::string path = (dir / "plan.json").string();
  write_plan_file(path, plan);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);
  std::ifstream file(path);
  const json document = json::parse(file);
  EXPECT_EQ(document["format"], 1);
  EXPECT_EQ(document["inventory_sha256"], "abc123");
  EXPECT_EQ(document["actions"][0]["config"]["env"]["DB"],
            config_with_secret["config"]["env"]["DB"])
      << "data, never redacted";
  EXPECT_EQ(document["actions"][1]["request"]["name"], "mediator-S2");

  const Plan read = read_plan_file(path, kApp);
  EXPECT_EQ(plan_to_json(read), plan_to_json(plan));
  EXPECT_EQ(described(read), described(plan));
  std::filesystem::remove_all(dir);
}

TEST(PlanFile, ForAnotherAppOrFormatOrMalformedIsRefused) {
  Plan plan;
  plan.app = "meters";
  plan.actions.push_back({.kind = ActionKind::kOrphan,
                          .meter_id = "m-9",
                          .machine = Machine{"aa09", "mediator-9", "iad", "started", "01V"},
                          .prune = true});
  const json good = plan_to_json(plan);
  EXPECT_NO_THROW(plan_from_json(good, "meters"));
  EXPECT_THROW(plan_from_json(good, "other-app"), PlanFileError);
  json newer = good;
  newer["format"] = 2;
  EXPECT_THROW(plan_from_json(newer, "meters"), PlanFileError);
  for (const char* key : {"app", "actions", "prune"}) {
    json broken = good;
    broken.erase(key);
    EXPECT_THROW(plan_from_json(broken, "meters"), PlanFileError) << key;
  }
  json no_machine = good;
  no_machine["actions"][0].erase("machine");
  EXPECT_THROW(plan_from_json(no_machine, "meters"), PlanFileError);
  json odd_action = good;
  odd_action["actions"][0]["action"] = "reboot";
  EXPECT_THROW(plan_from_json(odd_action, "meters"), PlanFileError);
  EXPECT_THROW(plan_from_json(json::array(), "meters"), PlanFileError);
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet::testing
