// Saved plans: refused whole when the fleet moved on, shown as they will be sent, printed
// offline, and never carried out past output that cannot be written.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <streambuf>

#include <nlohmann/json.hpp>

#include "cli/fleet_cli.hpp"

namespace quelmar::cli::testing {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class FleetPlanFile : public FleetCli {
 protected:
  std::string plan_file() const { return dir_ + "/plan.json"; }

  // `plan --out` of the inventory, checked to have worked.
  void save_plan(const std::string& inventory_text, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"plan",  "--inventory", inventory(inventory_text), "--cmd", "/m",
                                  "--out", plan_file()};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = fly(args);
    ASSERT_NE(r.status, 2) << r.err;
  }

  json saved() const { return json::parse(std::ifstream(plan_file())); }
  void save(const json& plan) const {
    std::filesystem::remove(plan_file());
    std::ofstream(plan_file()) << plan.dump();
    ::chmod(plan_file().c_str(), 0600);
  }
};

struct MovedOn {
  const char* name;
  std::vector<std::string> by;  // a quelmar fly command, or {"state", STATE}
  const char* shown;
};

class StalePrimary : public FleetPlanFile, public ::testing::WithParamInterface<MovedOn> {};

// The primary of m-1 went after the plan was made: destroying its duplicate would leave the
// meter without a mediator.
TEST_P(StalePrimary, RefusesThePlanWholeBeforeShowingOrAskingAnything) {
  platform_.add_machine("meters", listed_mediator("aa01", "m-1", "iad", "started"));
  platform_.add_machine("meters", listed_mediator("aa02", "m-1", "iad", "started"));
  save_plan("meter_id,serial,ip_address\nm-1,S1,10.0.0.1\n", {"--prune"});
  if (GetParam().by.front() == "state") {
    platform_.set_state("meters", "aa01", GetParam().by.back());
  } else {
    ASSERT_EQ(fly(GetParam().by).status, 0);
  }
  platform_.clear_requests();

  const auto r = fly({"apply", "--plan", plan_file(), "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "") << "nothing shown";
  EXPECT_EQ(r.err, std::string("quelmar: machine aa01 of meter m-1: ") + GetParam().shown +
                       "\nquelmar: the plan is stale (1 machine changed since it was made); "
                       "make a new plan\n");
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));
  EXPECT_TRUE(platform_.machine("meters", "aa02").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Ways, StalePrimary,
    ::testing::Values(
        MovedOn{"stopped", {"state", "stopped"}, "state started -> stopped"},
        MovedOn{"destroyed", {"destroy", "aa01", "--force"}, "no longer listed"},
        MovedOn{"listed_destroyed", {"state", "destroyed"}, "state started -> destroyed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FleetPlanFile, APlanOfMachinesThatDoNotExistIsStaleNotInStep) {
  json plan{{"format", 2},     {"app", "meters"},
            {"region", "iad"}, {"inventory_sha256", ""},
            {"prune", false},  {"actions", json::array()}};
  for (int i = 0; i < 500; ++i) {
    const std::string id = "zz" + std::to_string(i);
    plan["actions"].push_back({{"action", "ok"},
                               {"meter_id", "m-" + std::to_string(i)},
                               {"machine",
                                {{"id", id},
                                 {"name", "mediator-" + id},
                                 {"region", "iad"},
                                 {"state", "started"},
                                 {"instance_id", "01V"},
                                 {"config", json::object()}}}});
  }
  save(plan);
  const auto r = fly({"apply", "--plan", plan_file(), "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, EndsWith("quelmar: the plan is stale (500 machines changed since it was "
                              "made); make a new plan\n"));
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));
}

TEST_F(FleetPlanFile, WhatIsShownIsWhatIsSentAndAnEditedPlanIsRefused) {
  platform_.add_machine("meters", listed_mediator("aa01", "m-1", "iad", "started"));
  platform_.add_machine("meters", listed_mediator("aa09", "m-9", "iad", "started"));
  save_plan(
      "meter_id,serial,ip_address,port,cert_auth\nm-1,S1,10.0.0.7,50051,false\n"
      "m-2,S2,10.0.0.2,7000,true\n",
      {"--prune"});
  platform_.clear_requests();
  const std::string update_line =
      "update m-1 aa01 iad (env.METER_IP_ADDRESS 10.0.0.1 -> 10.0.0.7, metadata.ip_address "
      "10.0.0.1 -> 10.0.0.7)\n";
  const std::string create_line =
      "create m-2 (new mediator: region iad, name mediator-S2, image " + std::string(kImage) +
      ", cmd [\"/m\"], meter_id m-2, serial S2, ip_address 10.0.0.2, port 7000, cert_auth "
      "true)\n";

  // An image slipped into the config to send, the plan's prune or region changed: the file
  // contradicts itself and nothing is sent.
  const json good = saved();
  const std::vector<std::pair<const char*, std::function<void(json&)>>> edits{
      {"image", [](json& p) { p["actions"][0]["config"]["image"] = "evil:1"; }},
      {"prune", [](json& p) { p["prune"] = false; }},
      {"region", [](json& p) { p["region"] = "ams"; }},
  };
  for (const auto& [name, edit] : edits) {
    json edited = good;
    edit(edited);
    save(edited);
    const auto r = fly({"apply", "--plan", plan_file(), "--yes"});
    EXPECT_EQ(r.status, 2) << name;
    EXPECT_THAT(r.err, HasSubstr("malformed plan file")) << name;
  }
  EXPECT_THAT(platform_.requests(), IsEmpty());

  // show-plan: offline, the same text and JSON as plan.
  save(good);
  auto r = fly({"show-plan", plan_file()}, "", "");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr(update_line));
  EXPECT_THAT(r.out, HasSubstr(create_line));
  const auto shown_json = fly({"show-plan", plan_file(), "--json"});
  EXPECT_EQ(json::parse(shown_json.out)["actions"][1]["create"]["port"], 7000);
  EXPECT_THAT(platform_.requests(), IsEmpty());
  r = run_cli({"fly", "--app", "others", "show-plan", plan_file()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: " + plan_file() + ": the plan is for app 'meters', not 'others'\n");

  // apply shows the same lines and sends exactly that.
  r = fly({"apply", "--plan", plan_file(), "--yes", "--parallel", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr(update_line));
  EXPECT_THAT(r.out, HasSubstr(create_line));
  const json m1 = *platform_.machine("meters", "aa01");
  EXPECT_EQ(m1["config"]["metadata"]["ip_address"], "10.0.0.7");
  EXPECT_EQ(m1["config"]["image"], kImage);
  EXPECT_FALSE(platform_.machine("meters", "aa09").has_value());

  // A plan with nothing to do shows as such.
  save_plan("meter_id,serial,ip_address\nm-1,S1,10.0.0.7\n");
  EXPECT_EQ(fly({"show-plan", plan_file()}).status, 0);
}

// An output that fails once `budget` bytes were written, as a full disk does.
class FailingAfter : public std::streambuf {
 public:
  explicit FailingAfter(std::size_t budget) : budget_(budget) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (budget_ == 0) return traits_type::eof();
    --budget_;
    return c;
  }

 private:
  std::size_t budget_;
};

TEST_F(FleetPlanFile, NothingIsSentThatCannotBeReported) {
  const std::string file =
      inventory("meter_id,serial,ip_address\nm-1,S1,10.0.0.1\nm-2,S2,10.0.0.2\nm-3,S3,10.0.0.3\n");
  const auto apply_into = [&](std::size_t budget, const std::vector<std::string>& extra) {
    FailingAfter buffer(budget);
    std::ostream out(&buffer);
    std::vector<std::string> args{"apply", "--inventory", file,         "--cmd",
                                  "/m",    "--yes",       "--parallel", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return fly_into(out, args);
  };
  // The plan cannot be shown: nothing is sent.
  auto r = apply_into(10, {});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));

  // The first result line cannot be written: what follows is not started.
  const std::size_t plan_text = fly({"plan", "--inventory", file, "--cmd", "/m"}).out.size();
  platform_.clear_requests();
  r = apply_into(plan_text + 5, {"--max-destroy", "0"});
  EXPECT_EQ(r.status, 2) << r.err;
  std::size_t creates = 0;
  for (const auto& line : request_lines()) creates += line == "POST /v1/apps/meters/machines";
  EXPECT_EQ(creates, 1U);

  // With --json the plan goes to stderr, which works: the JSON report alone fails.
  r = apply_into(0, {"--json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(platform_.machines("meters").size(), 3U);
}

}  // namespace
}  // namespace quelmar::cli::testing
