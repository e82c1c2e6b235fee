// fly plan|apply --prometheus: what is left to do, as a text-file collector reads it.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/fleet_cli.hpp"

namespace {

using quelmar::cli::testing::FleetCli;
using ::testing::HasSubstr;

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// promtool's complaints about an exposition file, and its exit status.
std::pair<int, std::string> promtool_check(const std::string& path) {
  FILE* pipe = ::popen(("promtool check metrics < '" + path + "' 2>&1").c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// The samples of the file, HELP and TYPE lines and run times left out.
std::string samples(const std::string& text) {
  std::string kept;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("# ", 0) == 0 || line.find("_seconds{") != std::string::npos) continue;
    kept += line + "\n";
  }
  return kept;
}

void expect_clean(const std::string& path) {
  const auto [status, complaints] = promtool_check(path);
  EXPECT_EQ(status, 0) << complaints;
  EXPECT_EQ(complaints, "");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644U);
}

constexpr const char* kThree =
    "meter_id,serial,ip_address,port\nm-1,S1,10.0.0.1,7001\nm-2,S2,10.0.0.2,7002\n"
    "m-3,S3,10.0.0.3,7003\n";
// m-1 moved, m-2 in step, m-3 gone (its mediator an orphan), m-4 new.
constexpr const char* kNext =
    "meter_id,serial,ip_address,port\nm-1,S1,10.0.0.9,7001\nm-2,S2,10.0.0.2,7002\n"
    "m-4,S4,10.0.0.4,7004\n";

TEST_F(FleetCli, PlanWritesWhatWouldBeDoneForMonitoring) {
  ASSERT_EQ(fly({"apply", "--inventory", inventory(kThree), "--cmd", "/m", "--yes"}).status, 0);
  const std::string file = dir_ + "/fleet.prom";
  std::ofstream(file) << "stale";

  auto r = fly({"plan", "--inventory", inventory(kNext), "--prometheus", file});
  EXPECT_EQ(r.status, 1) << r.err;
  const std::string text = read_file(file);
  EXPECT_EQ(samples(text),
            "quelmar_fleet_pending_actions{app=\"meters\",action=\"create\"} 1\n"
            "quelmar_fleet_pending_actions{app=\"meters\",action=\"update\"} 1\n"
            "quelmar_fleet_pending_actions{app=\"meters\",action=\"start\"} 0\n"
            "quelmar_fleet_pending_actions{app=\"meters\",action=\"destroy\"} 0\n"
            "quelmar_fleet_kept_machines{app=\"meters\"} 1\n"
            "quelmar_fleet_mediators{app=\"meters\"} 3\n"
            "quelmar_fleet_meters{app=\"meters\"} 3\n"
            "quelmar_fleet_run_success{app=\"meters\",command=\"plan\"} 1\n");
  EXPECT_THAT(text, HasSubstr("# TYPE quelmar_fleet_pending_actions gauge\n"));
  EXPECT_TRUE(std::regex_search(
      text, std::regex("\nquelmar_fleet_last_run_timestamp_seconds\\{app=\"meters\",command="
                       "\"plan\"\\} [0-9]+\\.[0-9]{3}\n")));
  expect_clean(file);

  // With --prune the orphan is a pending destroy rather than kept.
  r = fly({"plan", "--inventory", inventory(kNext), "--prune", "--prometheus", file});
  EXPECT_THAT(read_file(file),
              HasSubstr("quelmar_fleet_pending_actions{app=\"meters\",action=\"destroy\"} 1\n"
                        "# HELP quelmar_fleet_kept_machines"));
  EXPECT_THAT(read_file(file), HasSubstr("quelmar_fleet_kept_machines{app=\"meters\"} 0\n"));
}

TEST_F(FleetCli, ApplyWritesWhatIsLeftAndHowEachActionWent) {
  ASSERT_EQ(fly({"apply", "--inventory", inventory(kThree), "--cmd", "/m", "--yes"}).status, 0);
  const std::string file = dir_ + "/fleet.prom";
  platform_.inject({.method = "POST", .path_contains = "/machines", .times = 1, .status = 422});

  const auto r = fly({"apply", "--inventory", inventory(kNext), "--cmd", "/m", "--yes",
                      "--parallel", "1", "--prometheus", file});
  EXPECT_EQ(r.status, 1) << r.out;
  const std::string text = samples(read_file(file));
  // The update (the canary, first) was refused; the create went through.
  for (const char* line : {
           "quelmar_fleet_pending_actions{app=\"meters\",action=\"create\"} 0\n",
           "quelmar_fleet_pending_actions{app=\"meters\",action=\"update\"} 1\n",
           "quelmar_fleet_mediators{app=\"meters\"} 4\n",
           "quelmar_fleet_apply_actions{app=\"meters\",action=\"update\",outcome=\"failed\"} 1\n",
           "quelmar_fleet_apply_actions{app=\"meters\",action=\"create\",outcome=\"changed\"} 1\n",
           "quelmar_fleet_apply_actions{app=\"meters\",action=\"ok\",outcome=\"in_step\"} 1\n",
           "quelmar_fleet_apply_actions{app=\"meters\",action=\"orphan\",outcome=\"kept\"} 1\n",
           "quelmar_fleet_apply_actions{app=\"meters\",action=\"start\",outcome=\"changed\"} 0\n",
           "quelmar_fleet_run_success{app=\"meters\",command=\"apply\"} 0\n",
       }) {
    EXPECT_THAT(text, HasSubstr(line));
  }
  expect_clean(file);
}

TEST_F(FleetCli, ARunThatFailsStillWritesTheFile) {
  const std::string file = dir_ + "/fleet.prom";
  for (const char* command : {"plan", "apply"}) {
    std::vector<std::string> args{command,        "--inventory", inventory(kThree), "--cmd", "/m",
                                  "--prometheus", file};
    if (args[0] == "apply") args.push_back("--yes");
    const auto r = fly(args, "", "wrong-token");
    EXPECT_EQ(r.status, 2);
    const std::string text = read_file(file);
    EXPECT_EQ(samples(text), "quelmar_fleet_run_success{app=\"meters\",command=\"" +
                                 std::string(command) + "\"} 0\n");
    expect_clean(file);
  }
  const auto r = fly(
      {"plan", "--inventory", inventory(kThree), "--prometheus", dir_ + "/no-such-dir/fleet.prom"});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("quelmar: cannot write " + dir_ + "/no-such-dir/fleet.prom: "));
}

TEST_F(FleetCli, AnApplyRefusedAfterItsPlanWritesThePlansSeries) {
  ASSERT_EQ(fly({"apply", "--inventory", inventory(kThree), "--cmd", "/m", "--yes"}).status, 0);
  const std::string file = dir_ + "/fleet.prom";
  // The plan is made, then refused by the destroy limit: the metrics still describe it.
  const auto r = fly({"apply", "--inventory", inventory(kNext), "--cmd", "/m", "--yes", "--prune",
                      "--max-destroy", "0", "--prometheus", file});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_THAT(r.err, HasSubstr("more than --max-destroy 0 allows"));
  const std::string text = samples(read_file(file));
  EXPECT_THAT(text,
              HasSubstr("quelmar_fleet_pending_actions{app=\"meters\",action=\"destroy\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("quelmar_fleet_run_success{app=\"meters\",command=\"apply\"} 0\n"));
  expect_clean(file);
}

}  // namespace
