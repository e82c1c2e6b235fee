// What keeps `quelmar fly apply` from hurting a fleet: named and capped destroys, reviewed plans,
// configs sent back untouched, and signals that always end with a report.
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/fleet_cli.hpp"

namespace quelmar::cli::testing {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

constexpr const char* kOneMeter = "meter_id,serial,ip_address\nm-1,S1,10.0.0.1\n";

TEST_F(FleetCli, ApplyNamesEveryMachineItWouldDestroyAndCapsHowMany) {
  platform_.add_machine("meters", listed_mediator("aa01", "m-1"));
  for (const char* id : {"aa07", "aa08", "aa09"}) {
    platform_.add_machine("meters", listed_mediator(id, std::string("m-") + id[3], "ams"));
  }
  const std::string file = inventory(kOneMeter);

  auto r = fly({"apply", "--inventory", file, "--prune"}, "n\n");
  EXPECT_EQ(r.status, 1);
  const auto prompt = r.out.find("Apply these changes (y/n): ");
  ASSERT_NE(prompt, std::string::npos) << r.out;
  EXPECT_LT(r.out.find("orphan m-7 aa07 ams (destroy mediator-aa07, started)\n"), prompt);
  EXPECT_LT(r.out.find("orphan m-9 aa09 ams (destroy mediator-aa09, started)\n"), prompt);

  platform_.clear_requests();
  r = fly({"apply", "--inventory", file, "--prune", "--yes", "--max-destroy", "2"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: the plan destroys 3 machines, more than --max-destroy 2 allows\n");
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));
  EXPECT_EQ(platform_.machines("meters").size(), 4U);

  for (int i = 10; i < 18; ++i) {
    platform_.add_machine("meters",
                          listed_mediator("ab" + std::to_string(i), "m-" + std::to_string(i)));
  }
  r = fly({"apply", "--inventory", file, "--prune", "--yes"});
  EXPECT_EQ(r.status, 2) << "11 destroys, over the default of 10";
  EXPECT_THAT(r.err, HasSubstr("more than --max-destroy 10 allows"));
  r = fly({"apply", "--inventory", file, "--prune", "--yes", "--max-destroy", "11"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(platform_.machines("meters").size(), 1U);
}

TEST_F(FleetCli, APlanFileIsCarriedOutAsReviewedAfterOneListing) {
  platform_.add_machine("meters", listed_mediator("aa01", "m-1"));
  platform_.add_machine("meters", listed_mediator("aa09", "m-9", "ams"));
  const std::string file =
      inventory("meter_id,serial,ip_address\nm-1,S1,10.0.0.7\nm-2,S2,10.0.0.2\n");
  const std::string plan_file = dir_ + "/plan.json";

  auto r = fly({"plan", "--inventory", file, "--out", plan_file});
  EXPECT_EQ(r.status, 2) << "a plan file that creates needs the command";
  EXPECT_THAT(r.err, HasSubstr("needs --image and --cmd"));
  EXPECT_FALSE(std::filesystem::exists(plan_file));

  r = fly({"plan", "--inventory", file, "--prune", "--cmd", "/m", "--out", plan_file});
  EXPECT_EQ(r.status, 1) << r.err;
  struct stat info {};
  ASSERT_EQ(::stat(plan_file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);
  const json saved = json::parse(std::ifstream(plan_file));
  EXPECT_EQ(saved["inventory_sha256"].get<std::string>().size(), 64U);

  // Reviewed, then carried out exactly, without the inventory.
  std::filesystem::remove(file);
  platform_.clear_requests();
  r = fly({"apply", "--plan", plan_file, "--yes", "--parallel", "1"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("update m-1 aa01 iad: ok\n"));
  EXPECT_THAT(r.out, HasSubstr("orphan m-9 aa09 ams: ok\n"));
  EXPECT_EQ(request_lines().front(), "GET /v1/apps/meters/machines");
  EXPECT_EQ(platform_.machine("meters", "aa01")->at("config")["metadata"]["ip_address"],
            "10.0.0.7");

  // Carried out once, it is stale now: refused whole, before anything is shown or asked.
  platform_.clear_requests();
  r = fly({"apply", "--plan", plan_file});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, HasSubstr("quelmar: machine aa01 of meter m-1: instance_id 01Vaa01 -> "));
  EXPECT_THAT(r.err, HasSubstr("quelmar: machine aa09 of meter m-9: no longer listed\n"));
  EXPECT_THAT(r.err, EndsWith("quelmar: the plan is stale (3 machines changed since it was made); "
                              "make a new plan\n"));
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));
}

TEST_F(FleetCli, AnUnusablePlanFileIsOneLineNamingItBeforeAnyRequest) {
  const std::string plan_file = dir_ + "/plan.json";
  const auto refused = [&](const std::string& text, const std::vector<std::string>& extra = {}) {
    std::filesystem::remove(plan_file);
    std::ofstream(plan_file) << text;
    std::vector<std::string> args{"apply", "--plan", plan_file, "--yes"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = fly(args);
    EXPECT_EQ(r.status, 2) << text;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    return r.err;
  };
  const std::string good =
      R"({"format":2,"app":"meters","region":"iad","inventory_sha256":"","prune":false,"actions":[]})";
  const std::string line = "quelmar: " + plan_file + ": ";
  EXPECT_EQ(refused(R"({"format":2,"app":"others","region":"iad","inventory_sha256":"",)"
                    R"("prune":false,"actions":[]})"),
            line + "the plan is for app 'others', not 'meters'\n");
  EXPECT_EQ(refused(R"({"format":1,"app":"meters"})"),
            line + "made by an older quelmar; make a new plan\n");
  EXPECT_THAT(refused(R"({"format":3,"app":"meters"})"), HasSubstr("format 3"));
  EXPECT_THAT(refused("{not json"), HasSubstr("malformed plan file"));
  EXPECT_THAT(refused(good + std::string(1, '\0') + "{}"), HasSubstr("malformed plan file"));
  EXPECT_THAT(refused(std::string(100000, '[')), HasSubstr("nested too deeply"));
  for (const std::vector<std::string>& decided : {std::vector<std::string>{"--prune"},
                                                  {"--inventory", plan_file},
                                                  {"--cmd", "/m"},
                                                  {"--image", "other:1"},
                                                  {"--region", "ams"}}) {
    EXPECT_THAT(refused(good, decided), HasSubstr(decided.front())) << decided.front();
  }
  // Only a regular file that nobody but its owner can change.
  std::ofstream(plan_file) << good;
  ::chmod(plan_file.c_str(), 0666);
  auto r = fly({"apply", "--plan", plan_file, "--yes"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, line + "writable by group or others (mode 0666)\n");
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  r = fly({"apply", "--plan", fifo, "--yes"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: " + fifo + ": not a regular file\n");
  EXPECT_TRUE(platform_.requests().empty());
}

TEST_F(FleetCli, ATokenInsideAConfigIsSentBackAsItIsButNeverShown) {
  json machine = listed_mediator("aa01", "m-1");
  machine["config"]["env"]["DB"] = std::string("postgres://user:") + kToken + "@db/x";
  machine["config"]["metadata"]["note"] = kToken;
  machine["config"]["metadata"]["ip_address"] = kToken;
  platform_.add_machine("meters", machine);
  const std::string file = inventory(kOneMeter);

  // fly() checks that no output shows the token.
  auto r = fly({"list", "--json"});
  EXPECT_THAT(r.out, HasSubstr("[redacted]"));
  r = fly({"plan", "--inventory", file, "--json"});
  EXPECT_EQ(json::parse(r.out)["actions"][0]["diff"]["metadata.ip_address"]["from"], "[redacted]");
  r = fly({"apply", "--inventory", file, "--yes"});
  EXPECT_EQ(r.status, 0) << r.err;

  json expected = machine["config"];
  expected["metadata"]["ip_address"] = "10.0.0.1";
  EXPECT_EQ(platform_.machine("meters", "aa01")->at("config"), expected);
}

class ShortTokenCli : public FakeFlyCli {
 protected:
  ShortTokenCli() : FakeFlyCli("demo") {}
  quelmar::util::logging::ScopedLogLevel quiet_{quelmar::util::logging::Level::kOff};
};

TEST_F(ShortTokenCli, AShortTokenThatIsAlsoAWordOfTheConfigSurvivesAnUpdate) {
  json machine = listed_mediator("aa01", "m-1");
  machine["config"]["init"]["cmd"] = {"/demo"};
  machine["config"]["metadata"]["ip_address"] = "10.9.9.9";
  platform_.add_machine("meters", machine);
  const auto dir = quelmar::testing::make_temp_dir("quelmar-short");
  const std::string file = (dir / "meters.csv").string();
  std::ofstream(file) << kOneMeter;

  const auto r = fly({"apply", "--inventory", file, "--yes"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(platform_.machine("meters", "aa01")->at("config")["init"]["cmd"], json({"/demo"}));
  std::filesystem::remove_all(dir);
}

struct StopSignal {
  int signal;
  int exit;
};

class StoppedApply : public FleetCli, public ::testing::WithParamInterface<StopSignal> {};

TEST_P(StoppedApply, StartsNothingNewReportsAndExitsWithTheSignal) {
  const std::string file =
      inventory("meter_id,serial,ip_address\nm-1,S1,10.0.0.1\nm-2,S2,10.0.0.2\nm-3,S3,10.0.0.3\n");
  std::thread stopper([this] {
    // The first create is held: apply is running and the signal is caught.
    while (platform_.requests().size() < 2) std::this_thread::yield();
    kill(getpid(), GetParam().signal);
    platform_.hold_requests(std::nullopt);
  });
  platform_.hold_requests("POST");
  const auto r = fly({"apply", "--inventory", file, "--cmd", "/m", "--yes", "--parallel", "1"});
  stopper.join();
  EXPECT_EQ(r.status, GetParam().exit) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr(": skipped: interrupted\n"));
  EXPECT_THAT(r.out, EndsWith("(interrupted)\n"));
  EXPECT_EQ(platform_.machines("meters").size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppedApply,
                         ::testing::Values(StopSignal{SIGINT, 130}, StopSignal{SIGTERM, 143}),
                         [](const auto& info) {
                           return info.param.signal == SIGINT ? "sigint" : "sigterm";
                         });

}  // namespace
}  // namespace quelmar::cli::testing
