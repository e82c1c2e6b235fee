#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_runner.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using quelmar::cli::testing::run_cli;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class RepairCli : public ::testing::Test {
 protected:
  void SetUp() override { root_ = quelmar::testing::make_temp_dir("quelmar-repair-cli"); }
  void TearDown() override { fs::remove_all(root_); }
  std::string replica(int i) const { return (root_ / ("r" + std::to_string(i))).string(); }
  // Dated files for the listed days of September 2021 (1 to 9), each holding its path.
  void days(const std::string& rel_dir, const std::string& list) {
    fs::create_directories(root_ / rel_dir);
    for (const char d : list) {
      const std::string rel = rel_dir + "/S-A-2021090" + d + ".csv";
      std::ofstream(root_ / rel) << rel;
    }
  }
  std::vector<std::string> command(const std::string& name, std::vector<std::string> extra) {
    std::vector<std::string> args{"profile-logs", name,         replica(0), replica(1),  replica(2),
                                  "--from",       "2021-09-01", "--to",     "2021-09-03"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  static std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  fs::path root_;
};

TEST_F(RepairCli, RepairsUntilCompareFindsNothingLackingAndSaysSo) {
  days("r0/site/m1", "123");
  days("r1/site/m1", "1");
  days("r2/site/m2", "12");
  fs::create_directories(root_ / "r1");
  auto r = run_cli(command("repair", {}));
  EXPECT_EQ(r.status, 1);  // day 3 of m2 is lost
  EXPECT_EQ(r.out,
            "repaired 9 files (243 bytes) in 4 directories; 0 could not be copied; 1 days lost\n");
  EXPECT_THAT(r.err, IsEmpty());
  EXPECT_EQ(read_file(root_ / "r2/site/m1/S-A-20210902.csv"), "r0/site/m1/S-A-20210902.csv");

  r = run_cli(command("compare", {}));
  EXPECT_EQ(r.out,
            "site/m2: lost: 2021-09-03 (1 day)\n"
            "0 days lacking, 1 day lost in 1 directory for 2021-09-01..2021-09-03 (3 days) "
            "across 3 replicas\n");

  days("r0/site/m2", "3");  // the lost day found again
  r = run_cli(command("repair", {}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "repaired 2 files (54 bytes) in 2 directories; 0 could not be copied; 0 days lost\n");
  r = run_cli(command("repair", {}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "repaired 0 files (0 bytes) in 0 directories; 0 could not be copied; 0 days lost\n");
}

TEST_F(RepairCli, DryRunPrintsEscapedPairsAndChangesNothing) {
  days("r0/odd\n\x1b[2J", "1");
  days("r1/odd\n\x1b[2J", "1");
  fs::create_directories(root_ / "r2");
  auto r = run_cli(command("repair", {"--dry-run"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, replica(0) + "/odd\\x0a\\x1b[2J/S-A-20210901.csv -> " + replica(2) +
                       "/odd\\x0a\\x1b[2J/S-A-20210901.csv\n");
  EXPECT_FALSE(fs::exists(root_ / "r2/odd\n\x1b[2J"));

  days("r2/odd\n\x1b[2J", "123");
  days("r0/odd\n\x1b[2J", "23");
  days("r1/odd\n\x1b[2J", "23");
  r = run_cli(command("repair", {"--dry-run"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, IsEmpty());
}

TEST_F(RepairCli, UnreadableDirectoryGoesToStderrAndExitsOne) {
  days("r0/m", "1");
  days("r2/m", "1");
  fs::create_directories(root_ / "r1");
  // r1/m is a file: nothing can be created below it.
  std::ofstream(root_ / "r1/m") << "in the way";
  auto r = run_cli(command("repair", {"--parallel", "1"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "repaired 0 files (0 bytes) in 0 directories; 0 could not be copied; 0 days lost\n");
  EXPECT_EQ(r.err, "quelmar: m: unreadable in " + replica(1) + "\n");
  EXPECT_EQ(read_file(root_ / "r1/m"), "in the way");
}

TEST_F(RepairCli, UsageErrorsAndUnlistableReplicasExitTwo) {
  days("r0/m", "1");
  fs::create_directories(root_ / "r1");
  fs::create_directories(root_ / "r2");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {command("repair", {"--parallel", "0"}),
       "quelmar: --parallel takes a whole number 1..64 (decimal digits only), not '0'\n"},
      {command("repair", {"--parallel", "65"}),
       "quelmar: --parallel takes a whole number 1..64 (decimal digits only), not '65'\n"},
      {command("repair", {"--parallel", "-1"}),
       "quelmar: --parallel takes a whole number 1..64 (decimal digits only), not '-1'\n"},
      {{"profile-logs", "repair", replica(0), "--last", "3"},
       "quelmar: repair needs two or more replicas\n"},
      {{"profile-logs", "repair", replica(0), (root_ / "typo").string(), "--last", "3"},
       "quelmar: cannot scan " + (root_ / "typo").string() + ": No such file or directory\n"},
  };
  for (const auto& [args, err] : cases) {
    const auto r = run_cli(args);
    EXPECT_EQ(r.status, 2) << err;
    EXPECT_THAT(r.out, IsEmpty()) << err;
    EXPECT_EQ(r.err, err);
  }
  EXPECT_FALSE(fs::exists(root_ / "r1/m"));
}

TEST_F(RepairCli, ProgressLineOnlyOnATerminal) {
  days("r0/m", "12");
  fs::create_directories(root_ / "r1");
  fs::create_directories(root_ / "r2");
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const quelmar::cli::Io terminal{in, out, err, [](const std::string&) { return std::nullopt; },
                                  /*err_is_terminal=*/true};
  const auto args = command("repair", {});
  std::vector<const char*> argv{"quelmar"};
  for (const auto& a : args) argv.push_back(a.c_str());
  EXPECT_EQ(quelmar::cli::run(static_cast<int>(argv.size()), argv.data(), terminal), 1);
  EXPECT_THAT(err.str(), ::testing::StartsWith("\rcopied 1 of 4 files ("));
  EXPECT_THAT(err.str(), HasSubstr("\rcopied 4 of 4 files (0.0 MB, "));
  EXPECT_THAT(err.str(), ::testing::EndsWith(" MB/s)\n"));
  EXPECT_THAT(out.str(), ::testing::StartsWith("repaired 4 files"));
  // Not a terminal: the same repair draws nothing.
  fs::remove_all(root_ / "r1");
  fs::create_directories(root_ / "r1");
  const auto r = run_cli(command("repair", {}));
  EXPECT_THAT(r.err, IsEmpty());
}

// The metrics of the state after the repair are the metrics compare writes of it.
TEST_F(RepairCli, PrometheusFileIsCompareOfTheRepairedState) {
  days("r0/m1", "12");
  days("r1/m2", "1");
  fs::create_directories(root_ / "r2");
  const fs::path after_repair = root_ / "repair.prom";
  const fs::path after_compare = root_ / "compare.prom";
  auto r = run_cli(command("repair", {"--prometheus", after_repair.string()}));
  EXPECT_EQ(r.status, 1);
  r = run_cli(command("compare", {"--prometheus", after_compare.string()}));
  EXPECT_EQ(r.status, 1);
  const auto series = [](const fs::path& file) {
    std::istringstream in(read_file(file));
    std::string kept;
    for (std::string line; std::getline(in, line);) {
      if (line.find("duration_seconds") == std::string::npos &&
          line.find("timestamp_seconds") == std::string::npos) {
        kept += line + "\n";
      }
    }
    return kept;
  };
  EXPECT_EQ(series(after_repair), series(after_compare));
  EXPECT_THAT(series(after_repair),
              ContainsRegex("\nquelmar_profile_log_scan_lost_files\\{[^}]*\\} 3\n"));
  EXPECT_THAT(series(after_repair),
              ContainsRegex("\nquelmar_profile_log_scan_lacking_files\\{[^}]*\\} 0\n"));
}

}  // namespace
