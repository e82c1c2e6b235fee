#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/cli_runner.hpp"

namespace {

namespace fs = std::filesystem;
using quelmar::cli::testing::run_cli;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ProfileLogsCli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quelmar-cli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
  }
  void TearDown() override { fs::remove_all(root_); }
  void touch(const std::string& rel) {
    fs::create_directories((root_ / rel).parent_path());
    std::ofstream(root_ / rel).flush();
  }
  std::vector<std::string> missing(std::vector<std::string> extra) {
    std::vector<std::string> args{"profile-logs", "missing", root_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  fs::path root_;
};

TEST_F(ProfileLogsCli, TreeTextCollapsesRunsAndSummarises) {
  for (const char* d : {"01", "02", "08", "10"}) touch(std::string("m1/S-A-202109") + d + ".csv");
  const auto r = run_cli(missing({"--from", "2021-09-01", "--to", "2021-09-10"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "m1: 2021-09-03..2021-09-07, 2021-09-09 (6 days)\n"
            "6 days missing in 1 directory for 2021-09-01..2021-09-10 (10 days)\n");
  EXPECT_THAT(r.err, IsEmpty());
}

TEST_F(ProfileLogsCli, TreeJsonKeepsWalkOrderAndRootKey) {
  touch("S-A-20210901.csv");
  touch("a/b/S-A-20210902.csv");
  touch("c/S-A-20210901.csv");
  touch("c/S-A-20210902.csv");
  const auto r = run_cli(missing({"--from", "2021-09-01", "--to", "2021-09-02", "--json"}));
  EXPECT_EQ(r.status, 1);
  const auto j = nlohmann::ordered_json::parse(r.out);
  ASSERT_EQ(j.size(), 2U);
  EXPECT_EQ(j.begin().key(), ".");
  EXPECT_EQ(j["."], nlohmann::json::parse(R"(["2021-09-02"])"));
  EXPECT_EQ(j["a/b"], nlohmann::json::parse(R"(["2021-09-01"])"));
}

TEST_F(ProfileLogsCli, CompleteTreeExitsZero) {
  touch("S-A-20210901.csv");
  auto r = run_cli(missing({"--from", "2021-09-01", "--to", "2021-09-01", "--json"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{}\n");
  r = run_cli(missing({"--from", "2021-09-01", "--to", "2021-09-01"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "no days missing in 2021-09-01..2021-09-01 (1 day)\n");
  // A reversed range expects nothing, so nothing is missing.
  r = run_cli(missing({"--from", "2021-09-02", "--to", "2021-09-01", "--json"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{}\n");
}

TEST_F(ProfileLogsCli, NonUtf8DirectoryNamesAreReplacedInJsonAndEscapedInText) {
  touch("bad-\xff\n/S-A-20210901.csv");
  auto r = run_cli(missing({"--from", "2021-09-01", "--to", "2021-09-02", "--json"}));
  EXPECT_EQ(r.status, 1);
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_TRUE(j.contains("bad-\xef\xbf\xbd\n"));
  r = run_cli(missing({"--from", "2021-09-01", "--to", "2021-09-02"}));
  EXPECT_THAT(r.out, HasSubstr("bad-\xff\\x0a: 2021-09-02 (1 day)\n"));
}

TEST_F(ProfileLogsCli, FolderModes) {
  touch("f/S-A-20210902.csv");
  auto r = run_cli({"profile-logs", "missing", (root_ / "f").string(), "--folder", "--from",
                    "2021-09-01", "--to", "2021-09-03", "--json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "[\"2021-09-01\",\"2021-09-03\"]\n");
  // A missing folder misses every day.
  r = run_cli({"profile-logs", "missing", (root_ / "nope").string(), "--folder", "--from",
               "2021-09-01", "--to", "2021-09-02", "--json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "[\"2021-09-01\",\"2021-09-02\"]\n");
  // A folder that cannot be listed: its path and the OS error, exit 2, nothing on stdout.
  const auto file = (root_ / "f/S-A-20210902.csv").string();
  r = run_cli({"profile-logs", "missing", file, "--folder", "--from", "2021-09-01", "--to",
               "2021-09-03", "--json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.out, IsEmpty());
  EXPECT_EQ(r.err, "quelmar: cannot list " + file + ": Not a directory\n");
}

TEST_F(ProfileLogsCli, BadDatesAreUsageErrors) {
  for (const char* bad : {"2021-13-01", "2021-02-30", "20210101", "", "2021-9-01", "0000-01-01",
                          "2021-01-01x", " 2021-01-01"}) {
    const auto r = run_cli(missing({"--from", bad, "--to", "2021-09-01", "--json"}));
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_THAT(r.out, IsEmpty()) << bad;
    EXPECT_THAT(r.err, HasSubstr("--from")) << bad;
  }
  EXPECT_EQ(run_cli(missing({"--to", "2021-09-01"})).status, 2);
  EXPECT_EQ(run_cli({"profile-logs"}).status, 2);
  EXPECT_EQ(run_cli({}).status, 2);
}

TEST(Cli, HelpAndVersionSucceed) {
  auto r = run_cli({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("profile-logs"));
  r = run_cli({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("0."));
  r = run_cli({"profile-logs", "missing", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("--folder"));
}

}  // namespace
