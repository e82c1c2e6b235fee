// Planning: one listing of every region compared with the inventory, and plans as files.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "orchestrate/fleet/fleet_fixture.hpp"
#include "quelmar/util/file_reading.hpp"
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

  Machines fly(core_options(options()));
  const std::vector<Meter> meters{meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3"),
                                  meter("m-4", "S4")};
  const Plan kept = fleet::plan(fly, meters, plan_options(false));
  EXPECT_THAT(described(kept), ElementsAre("ok m-1 aa01 iad", "start m-2 aa02 ams",
                                           "update m-3 aa03 iad services[0].internal_port:-->50051 "
                                           "services[0].ports[0].port:7000->50051",
                                           "create m-4 -", "orphan m-9 aa04 syd",
                                           "duplicate m-1 aa05 ams", "orphan  aa06 iad"));
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
  Machines fly(core_options(options()));
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
  Machines fly(core_options(options()));

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
  Machines fly(core_options(options()));
  Meter m = meter("m-1", "S1");
  m.cert_auth = true;

  const Plan plan = fleet::plan(fly, {m}, {.cmd = "/mediator-v2"});
  ASSERT_EQ(plan.actions.size(), 1U);
  EXPECT_THAT(described(plan),
              ElementsAre("update m-1 aa01 iad env.USE_CERT_AUTH:-->\"true\" "
                          "image:\"registry.fly.io/mediator:6\"->\"registry.fly.io/mediator:7\" "
                          "init.cmd:[\"/mediator-v1\"]->[\"/mediator-v2\"] "
                          "metadata.ip_address:\"10.0.0.1\"->\"10.1.2.3\""));
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
  Machines plain(core_options(no_image));
  EXPECT_THAT(described(fleet::plan(plain, {m}, {}))[0],
              "update m-1 aa01 iad env.USE_CERT_AUTH:-->\"true\" "
              "metadata.ip_address:\"10.0.0.1\"->\"10.1.2.3\"");
}

TEST_F(FleetTest, AFailedListingIsAnErrorNotAnEmptyFleet) {
  auto o = options();
  o.api_token = "wrong-token";
  Machines fly(core_options(o));
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
  Machines listed(core_options(options()));
  EXPECT_THROW(fleet::plan(listed, {meter("m-1", "S1")}), adapter::vostrel::KeyError);
}

TEST_F(FleetTest, APlanFileHoldsEverythingToSendAndReadsBackTheSame) {
  json config_with_secret = mediator("aa01", "started", "m-1", 7000);
  config_with_secret["config"]["env"]["DB"] = std::string("postgres://u:") + kToken + "@db/x";
  platform.add_machine(kApp, config_with_secret);
  platform.add_machine(kApp, mediator("aa09", "stopped", "m-9", 50051, "ams"));
  Machines fly(core_options(options()));
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
  EXPECT_EQ(document["format"], 2);
  EXPECT_EQ(document["actions"][2]["machine"]["config"],
            platform.machine(kApp, "aa09")->at("config"))
      << "every named machine's config as listed";
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

struct Contradiction {
  const char* name;
  std::function<void(json&)> edit;
  const char* reason;
};

TEST_F(FleetTest, APlanFileThatContradictsItselfOrIsNotThisFormatIsRefused) {
  platform.add_machine(kApp, mediator("aa01", "started", "m-1", 7000));
  platform.add_machine(kApp, mediator("aa02", "started", "m-1", 50051, "ams"));
  platform.add_machine(kApp, mediator("aa09", "stopped", "m-9"));
  Machines fly(core_options(options()));
  // update m-1 aa01, create m-2, duplicate m-1 aa02, orphan m-9 aa09
  const json good =
      plan_to_json(fleet::plan(fly, {meter("m-1", "S1"), meter("m-2", "S2")}, plan_options(true)));
  ASSERT_NO_THROW(plan_from_json(good, kApp));
  EXPECT_NO_THROW(plan_from_json(good, std::nullopt)) << "any app";

  const std::vector<Contradiction> cases{
      {"other app", [](json& p) { p["app"] = "others"; }, "the plan is for app 'others'"},
      {"format 1", [](json& p) { p["format"] = 1; }, "made by an older quelmar; make a new plan"},
      {"format 3", [](json& p) { p["format"] = 3; }, "format 3"},
      {"no actions", [](json& p) { p.erase("actions"); }, "has no \"actions\""},
      {"unknown action", [](json& p) { p["actions"][0]["action"] = "reboot"; }, "unknown action"},
      {"no machine", [](json& p) { p["actions"][0].erase("machine"); }, "has no \"machine\""},
      {"no listed config", [](json& p) { p["actions"][3]["machine"].erase("config"); },
       "has no \"config\""},
      {"create to another region", [](json& p) { p["actions"][1]["request"]["region"] = "ams"; },
       "another region"},
      {"create for another meter",
       [](json& p) { p["actions"][1]["request"]["config"]["metadata"]["meter_id"] = "m-7"; },
       "another meter"},
      {"create with more than it shows",
       [](json& p) { p["actions"][1]["request"]["config"]["mounts"] = json::array({"/data"}); },
       "holds more or other"},
      {"create with a hidden variable",
       [](json& p) { p["actions"][1]["request"]["config"]["env"]["X"] = "1"; },
       "holds more or other"},
      {"create of another kind of port",
       [](json& p) {
         p["actions"][1]["request"]["config"]["services"][0]["ports"][0]["port"] = "7000";
       },
       "holds more or other"},
      {"action prune not the plan's", [](json& p) { p["actions"][3]["prune"] = false; },
       "\"prune\" differs"},
      {"plan prune not the actions'", [](json& p) { p["prune"] = false; }, "\"prune\" differs"},
      {"image sent but not shown", [](json& p) { p["actions"][0]["config"]["image"] = "evil:1"; },
       "changes of the update"},
      {"change shown but not sent", [](json& p) { p["actions"][0]["changes"].erase(0); },
       "changes of the update"},
      {"listed config edited", [](json& p) { p["actions"][0]["machine"]["config"]["image"] = "x"; },
       "changes of the update"},
      {"update without a change",
       [](json& p) {
         p["actions"][0]["config"] = p["actions"][0]["machine"]["config"];
         p["actions"][0]["changes"] = json::array();
       },
       "changes of the update"},
      {"primary not of the meter", [](json& p) { p["actions"][2]["primary_id"] = "aa09"; },
       "primary of duplicate"},
      {"duplicate of a meter without action", [](json& p) { p["actions"][2]["meter_id"] = "m-5"; },
       "primary of duplicate"},
      {"machine named twice",
       [](json& p) { p["actions"][3]["machine"]["id"] = p["actions"][2]["machine"]["id"]; },
       "named twice"},
      {"meter with two actions", [](json& p) { p["actions"].push_back(p["actions"][1]); },
       "two actions"},
  };
  for (const auto& c : cases) {
    json edited = good;
    c.edit(edited);
    try {
      (void)plan_from_json(edited, kApp);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const PlanFileError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.reason)) << c.name;
    }
  }
}

TEST(PlanFile, TheTextIsOneJsonDocumentReadInLinearTime) {
  Plan plan;
  plan.app = "meters";
  plan.prune = true;
  plan.actions.push_back({.kind = ActionKind::kOrphan,
                          .meter_id = "m-9",
                          .machine = Machine{"aa09", "mediator-9", "iad", "started", "01V", "{}"},
                          .prune = true});
  const std::string good = plan_to_json(plan).dump();
  EXPECT_NO_THROW(plan_from_text(good + " \n\t", "meters"));
  for (const std::string& bad : {good + std::string(1, '\0'), good + "x", good + good,
                                 std::string(200, '[') + std::string(200, ']'), std::string()}) {
    EXPECT_THROW(plan_from_text(bad, "meters"), PlanFileError) << bad.substr(0, 40);
  }
}

TEST(PlanFile, OnlyARegularFileNobodyElseCanChangeIsRead) {
  const auto dir = quelmar::testing::make_temp_dir("quelmar-plan");
  const std::string path = (dir / "plan.json").string();
  std::ofstream(path) << "{}";
  ::chmod(path.c_str(), 0664);
  EXPECT_THROW(read_plan_file(path, "meters"), util::FileRefused);
  ::chmod(path.c_str(), 0644);
  EXPECT_THROW(read_plan_file(path, "meters"), PlanFileError) << "read, then malformed";
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_THROW(read_plan_file(fifo, "meters"), util::FileRefused) << "refused without blocking";
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet::testing

namespace quelmar::orchestrate::fleet {
namespace {

TEST(ActionKinds, EveryKindsTextReadsBackAsThatKindAndNothingElseDoes) {
  for (ActionKind kind : {ActionKind::kCreate, ActionKind::kUpdate, ActionKind::kStart,
                          ActionKind::kOk, ActionKind::kDuplicate, ActionKind::kOrphan}) {
    EXPECT_EQ(action_kind_of(to_string(kind)), kind) << to_string(kind);
  }
  for (const char* text : {"", "?", "Create", "destroy", "ok "}) {
    EXPECT_FALSE(action_kind_of(text)) << text;
  }
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
