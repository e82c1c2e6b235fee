// quelmar fly plan|apply|addresses against the fake platform, in-process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/cli_runner.hpp"
#include "cli/fleet_cli.hpp"
#include "fake_dns.hpp"
#include "fake_platform.hpp"
#include "quelmar/util/logging.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using namespace std::chrono_literals;

using quelmar::cli::testing::FleetCli;

constexpr const char* kTwoMeters =
    "meter_id,serial,ip_address,port\n"
    "m-1,S1,10.0.0.1,7001\n"
    "m-2,S2,10.0.0.2,7002\n";

TEST_F(FleetCli, InventoryProblemsAreAllReportedAndNothingIsSent) {
  const std::string file = inventory(
      "meter_id,serial,ip_address,colour\n"
      "m-1,S1,10.0.0.1,red\n"
      "m-1,S\x1b]2;x,10.0.0.300,blue\n");
  const std::string where = "quelmar: " + file;
  for (const auto& command : {std::vector<std::string>{"plan"},
                              std::vector<std::string>{"apply", "--yes", "--cmd", "/m"}}) {
    auto args = command;
    args.insert(args.end(), {"--inventory", file});
    const auto r = fly(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, where + ":1: unknown column 'colour'\n" + where +
                         ":3: duplicate meter_id 'm-1' (first on line 2)\n" + where +
                         ":3: value of serial holds a control character\n" + where +
                         ":3: bad IP address '10.0.0.300'\n");
  }
  EXPECT_THAT(platform_.requests(), IsEmpty());

  const auto missing = fly({"plan", "--inventory", dir_ + "/none.csv"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_THAT(missing.err, HasSubstr("quelmar: cannot read the inventory"));
  EXPECT_EQ(fly({"plan"}).status, 2);
  EXPECT_EQ(fly({"apply", "--inventory", file, "--parallel", "0"}).status, 2);
}

TEST_F(FleetCli, AnInventoryWithoutMeterRowsIsAnErrorAndNothingIsSent) {
  const std::string file = inventory("meter_id,serial,ip_address\n\n");
  for (const auto& command :
       {std::vector<std::string>{"plan"},
        std::vector<std::string>{"apply", "--yes", "--cmd", "/m", "--prune"}}) {
    auto args = command;
    args.insert(args.end(), {"--inventory", file});
    const auto r = fly(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quelmar: " + file + ":1: no meter rows\n");
  }
  EXPECT_THAT(platform_.requests(), IsEmpty());
}

TEST_F(FleetCli, AFileOfGarbageShowsAHundredProblemsThenHowManyMore) {
  std::string text = "meter_id,serial,ip_address\n";
  for (int i = 0; i < 1000; ++i) text += "x\n";
  const std::string file = inventory(text);
  const auto r = fly({"plan", "--inventory", file});
  EXPECT_EQ(r.status, 2);
  std::vector<std::string> lines;
  std::istringstream err(r.err);
  for (std::string line; std::getline(err, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 101U);
  EXPECT_EQ(lines.front(), "quelmar: " + file + ":2: expected 3 fields, found 1");
  EXPECT_EQ(lines[99], "quelmar: " + file + ":101: expected 3 fields, found 1");
  EXPECT_EQ(lines.back(), "quelmar: " + file + ": 900 more problems");
  EXPECT_THAT(platform_.requests(), IsEmpty());
}

TEST_F(FleetCli, PlanTellsWhetherTheFleetIsInStep) {
  const std::string file = inventory(kTwoMeters);
  auto r = fly({"plan", "--inventory", file});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "create m-1 (new mediator in iad)\ncreate m-2 (new mediator in iad)\n"
            "plan for meters: 2 create, 0 update, 0 start, 0 ok, 0 duplicate, 0 orphan; "
            "0 to destroy, 0 kept\n");

  ASSERT_EQ(fly({"apply", "--inventory", file, "--cmd", "/mediator", "--yes"}).status, 0);
  r = fly({"plan", "--inventory", file, "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  const json plan = json::parse(r.out);
  EXPECT_EQ(plan["app"], "meters");
  ASSERT_EQ(plan["actions"].size(), 2U);
  EXPECT_EQ(plan["actions"][0]["action"], "ok");
  EXPECT_EQ(plan["actions"][0]["meter_id"], "m-1");
  const json machines = platform_.machines("meters");
  const auto m1 = std::ranges::find_if(
      machines, [](const json& m) { return m["config"]["metadata"]["meter_id"] == "m-1"; });
  ASSERT_NE(m1, machines.end());
  EXPECT_EQ(plan["actions"][0]["machine_id"], (*m1)["id"]);
  EXPECT_EQ(plan["summary"], json({{"create", 0},
                                   {"update", 0},
                                   {"start", 0},
                                   {"ok", 2},
                                   {"duplicate", 0},
                                   {"orphan", 0},
                                   {"destroy", 0},
                                   {"kept", 0}}));

  r = fly({"plan", "--inventory",
           inventory("meter_id,serial,ip_address,port\nm-1,S1,10.0.0.9,7001\n"), "--json"});
  EXPECT_EQ(r.status, 1);
  const json changed = json::parse(r.out);
  EXPECT_EQ(changed["actions"][0]["changes"],
            json({"env.METER_IP_ADDRESS", "metadata.ip_address"}));
  EXPECT_EQ(changed["actions"][0]["diff"]["metadata.ip_address"],
            json({{"from", "10.0.0.1"}, {"to", "10.0.0.9"}}));
  EXPECT_EQ(changed["actions"][0]["region"], "iad");
  EXPECT_EQ(changed["actions"][1]["action"], "orphan");
  EXPECT_EQ(changed["actions"][1]["meter_id"], "m-2");
  EXPECT_EQ(changed["actions"][1]["prune"], false);
  r = fly({"plan", "--inventory",
           inventory("meter_id,serial,ip_address,port\nm-1,S1,10.0.0.9,7001\n")});
  EXPECT_THAT(r.out, HasSubstr(" iad (env.METER_IP_ADDRESS 10.0.0.1 -> 10.0.0.9, "
                               "metadata.ip_address 10.0.0.1 -> 10.0.0.9)\n"));
  EXPECT_THAT(r.out, HasSubstr(" iad (kept: no --prune)\n"));

  // A listing that fails is no empty fleet.
  r = fly({"plan", "--inventory", file}, "", "wrong-token");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, HasSubstr("quelmar: cannot list the machines of meters: "));
}

TEST_F(FleetCli, ApplyAsksFirstAndAnAppliedFleetNeedsNothingMore) {
  const std::string file = inventory(kTwoMeters);
  auto r = fly({"apply", "--inventory", file, "--cmd", "/mediator"}, "n\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("Apply these changes (y/n): "));
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));

  EXPECT_EQ(fly({"apply", "--inventory", file}, "y\n").status, 2) << "creating needs --cmd";

  r = fly({"apply", "--inventory", file, "--cmd", "/mediator", "--parallel", "1"}, "y\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("create m-1 "));
  EXPECT_THAT(r.out, HasSubstr("applied to meters: 2 changed, 0 in step, 0 failed\n"));
  EXPECT_EQ(platform_.machines("meters").size(), 2U);

  platform_.clear_requests();
  r = fly({"apply", "--inventory", file, "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, Not(HasSubstr("Apply these changes")));
  const json report = json::parse(r.out);
  ASSERT_EQ(report["results"].size(), 2U);
  EXPECT_EQ(report["results"][0], json({{"action", "ok"},
                                        {"meter_id", "m-1"},
                                        {"machine_id", platform_.machines("meters")[0]["id"]},
                                        {"region", "iad"},
                                        {"outcome", "ok"},
                                        {"error", nullptr}}));
  EXPECT_EQ(
      report["summary"],
      json(
          {{"changed", 0}, {"in_step", 2}, {"failed", 0}, {"skipped", 0}, {"kept", 0}, {"ok", 2}}));
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));
}

TEST_F(FleetCli, ApplyExitsOneWhenAnythingFailsButKeptIsNoFailure) {
  ASSERT_EQ(fly({"apply", "--inventory", inventory(kTwoMeters), "--cmd", "/m", "--yes"}).status, 0);
  const std::string one = inventory("meter_id,serial,ip_address,port\nm-1,S1,10.0.0.1,7001\n");
  auto r = fly({"apply", "--inventory", one, "--yes"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr(" iad: kept (no --prune)\n"));
  EXPECT_EQ(fly({"plan", "--inventory", one}).status, 0) << "a kept orphan is no pending change";

  std::string orphan_id;
  for (const auto& machine : platform_.machines("meters")) {
    if (machine["config"]["metadata"]["meter_id"] == "m-2") orphan_id = machine["id"];
  }
  platform_.inject({.method = "POST",
                    .path_contains = orphan_id,
                    .times = 1,
                    .status = 409,
                    .body = R"({"error":"boom"})"});
  r = fly({"apply", "--inventory", one, "--yes", "--prune"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("orphan m-2 " + orphan_id + " iad: failed: stop refused: boom\n"));
  EXPECT_THAT(r.out, HasSubstr("applied to meters: 0 changed, 1 in step, 1 failed\n"));

  r = fly({"apply", "--inventory", one, "--yes", "--prune"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(platform_.machines("meters").size(), 1U);
}

// A meter retired before today, or commissioned after it, has no mediator: its own is an
// orphan, destroyed only with --prune and within --max-destroy.
TEST_F(FleetCli, AMeterOutOfServiceHasNoMediator) {
  ASSERT_EQ(fly({"apply", "--inventory", inventory(kTwoMeters), "--cmd", "/m", "--yes"}).status, 0);
  const std::string registry = inventory(
      "meter_id,serial,ip_address,port,commissioned,decommissioned\n"
      "m-1,S1,10.0.0.1,7001,2000-01-01,\n"
      "m-2,S2,10.0.0.2,7002,,2000-01-01\n"
      "m-3,S3,10.0.0.3,7003,9999-12-31,\n");
  auto r = fly({"plan", "--inventory", registry});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("0 create, 0 update, 0 start, 1 ok, 0 duplicate, 1 orphan; "
                               "0 to destroy, 1 kept"));
  r = fly({"apply", "--inventory", registry, "--yes", "--prune", "--max-destroy", "0"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(platform_.machines("meters").size(), 2U);
  r = fly({"apply", "--inventory", registry, "--yes", "--prune"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_EQ(platform_.machines("meters").size(), 1U);
  EXPECT_EQ(platform_.machines("meters")[0]["config"]["metadata"]["meter_id"], "m-1");
}

TEST_F(FleetCli, TheApplySummaryCountsWhatChangedApartFromWhatWasInStep) {
  const std::string three =
      "meter_id,serial,ip_address,port\nm-1,S1,10.0.0.1,7001\nm-2,S2,10.0.0.2,7002\n"
      "m-3,S3,10.0.0.3,7003\n";
  ASSERT_EQ(fly({"apply", "--inventory", inventory(three), "--cmd", "/m", "--yes"}).status, 0);
  // m-1 moves (an update), m-4 is new (a create), m-2 is in step, m-3 is left as an orphan.
  const std::string next =
      "meter_id,serial,ip_address,port\nm-1,S1,10.0.0.9,7001\nm-2,S2,10.0.0.2,7002\n"
      "m-4,S4,10.0.0.4,7004\n";
  auto r = fly({"apply", "--inventory", inventory(next), "--cmd", "/m", "--yes"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("applied to meters: 2 changed, 1 in step, 0 failed, 1 kept\n"));

  r = fly({"apply", "--inventory", inventory(next), "--cmd", "/m", "--yes", "--prune", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      json::parse(r.out)["summary"],
      json(
          {{"changed", 1}, {"in_step", 3}, {"failed", 0}, {"skipped", 0}, {"kept", 0}, {"ok", 4}}));
}

TEST_F(FleetCli, AddressesListsEveryMeterWithOneLookUp) {
  auto r = fly({"addresses"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, HasSubstr("quelmar: no mediator serves a meter in meters"));

  ASSERT_EQ(fly({"apply", "--inventory", inventory(kTwoMeters), "--cmd", "/m", "--yes",
                 "--parallel", "1"})
                .status,
            0);
  const std::string host = quelmar::fake_fly::fly_app_flycast_address(0);
  r = fly({"addresses"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "m-1 [" + host + "]:7001\nm-2 [" + host + "]:7002\n");
  r = fly({"addresses", "--json"});
  const json found = json::parse(r.out);
  ASSERT_EQ(found.size(), 2U);
  EXPECT_EQ(found[1]["meter_id"], "m-2");
  EXPECT_EQ(found[1]["machine_id"], platform_.machines("meters")[1]["id"]);
  EXPECT_EQ(found[1]["address"], "[" + host + "]:7002");

  r = fly({"addresses"}, "", "wrong-token");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
}

TEST_F(FleetCli, PlatformTextsReachTheTerminalEscapedAndJsonStaysAscii) {
  const std::string hostile =
      "m-\x1b[2J\xe2\x80\xae"
      "evil";  // a screen clear, a bidi override
  platform_.add_machine("meters",
                        {{"id", "0bad"},
                         {"name", "mediator-X"},
                         {"state", "started"},
                         {"region", "iad"},
                         {"instance_id", "01X"},
                         {"config",
                          {{"image", "img"},
                           {"metadata", {{"meter_id", hostile}}},
                           {"services", {{{"protocol", "tcp"}, {"ports", {{{"port", 7001}}}}}}}}}});
  // The hostile mediator is an orphan; m-1 gets created.
  const std::string file = inventory("meter_id,serial,ip_address\nm-1,S1,10.0.0.1\n");
  const auto is_ascii = [](const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
  };
  const std::vector<std::vector<std::string>> commands{
      {"plan", "--inventory", file},
      {"plan", "--inventory", file, "--json"},
      {"apply", "--inventory", file, "--yes", "--cmd", "/m"},
      {"apply", "--inventory", file, "--yes", "--cmd", "/m", "--json"},
      {"addresses"},
      {"addresses", "--json"}};
  for (const auto& command : commands) {
    const auto r = fly(command);
    const std::string shown = r.out + r.err;
    EXPECT_LT(r.status, 2) << shown;
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_TRUE(is_ascii(shown)) << shown;
    if (command.back() == "--json") {
      EXPECT_THAT(json::parse(r.out).dump(), HasSubstr(json(hostile).dump()));
    } else {
      EXPECT_THAT(r.out, HasSubstr("m-\\x1b[2J"));
    }
  }
}

}  // namespace
