#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <streambuf>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/cli_runner.hpp"
#include "quelmar/util/escape.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using quelmar::cli::testing::run_cli;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ProfileLogsCli : public ::testing::Test {
 protected:
  void SetUp() override { root_ = quelmar::testing::make_temp_dir("quelmar-cli"); }
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
}

TEST_F(ProfileLogsCli, TreeThatCannotBeScannedIsAnErrorNotACompleteReport) {
  touch("plain.txt");
  for (const std::string& path : {(root_ / "typo").string(), (root_ / "plain.txt").string()}) {
    for (const char* format : {"--json", "--folder=false"}) {
      const auto r = run_cli(
          {"profile-logs", "missing", path, "--from", "2021-09-01", "--to", "2021-09-02", format});
      EXPECT_EQ(r.status, 2) << path;
      EXPECT_THAT(r.out, IsEmpty()) << path;
      EXPECT_THAT(r.err, ::testing::StartsWith("quelmar: cannot scan " + path + ": ")) << path;
    }
  }
  const auto r = run_cli({"profile-logs", "missing", (root_ / "typo\x1b[2J").string(), "--from",
                          "2021-09-01", "--to", "2021-09-02"});
  EXPECT_EQ(r.err, "quelmar: cannot scan " + (root_ / "typo\\x1b[2J").string() +
                       ": No such file or directory\n");
}

TEST_F(ProfileLogsCli, ReversedRangeIsAUsageErrorInBothModes) {
  touch("S-A-20210901.csv");
  for (const bool folder : {false, true}) {
    auto args = missing({"--from", "2021-09-02", "--to", "2021-09-01"});
    if (folder) args.push_back("--folder");
    const auto r = run_cli(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.out, IsEmpty());
    EXPECT_EQ(r.err, "quelmar: --from 2021-09-02 is later than --to 2021-09-01\n");
  }
}

TEST_F(ProfileLogsCli, JsonKeysKeepEveryByteOfDirectoryNames) {
  // Three names that are not UTF-8, and one that spells an escape itself.
  const std::vector<std::string> names = {"m-\xff", "m-\xfe", "m-\xc3", "m-\\xff", "m-\xc3\xa9\n"};
  for (const auto& name : names) touch(name + "/S-A-20210901.csv");
  const auto r = run_cli(missing({"--from", "2021-09-01", "--to", "2021-09-02", "--json"}));
  EXPECT_EQ(r.status, 1);
  const auto j = nlohmann::json::parse(r.out);  // valid UTF-8, or this throws
  std::set<std::string> recovered;
  for (const auto& [key, days] : j.items()) {
    recovered.insert(quelmar::util::unescape_invalid_utf8(key));
    EXPECT_EQ(days, nlohmann::json::parse(R"(["2021-09-02"])"));
  }
  EXPECT_EQ(recovered, std::set<std::string>(names.begin(), names.end()));
  EXPECT_TRUE(j.contains("m-\\xff"));
  EXPECT_TRUE(j.contains("m-\\\\xff"));
  EXPECT_TRUE(j.contains("m-\xc3\xa9\n"));  // valid UTF-8 is left alone
  // The document itself is ASCII, so no name reaches a terminal raw.
  for (const char c : r.out) EXPECT_TRUE((c >= 0x20 && c < 0x7f) || c == '\n') << int(c);
  EXPECT_THAT(r.out, HasSubstr(R"("m-\u00e9\n")"));
}

TEST_F(ProfileLogsCli, TextLinesAreInertAndUnambiguousOnATerminal) {
  const std::vector<std::string> names = {
      "csi-\xc2\x9b"
      "31m",
      "rlo-\xe2\x80\xae"
      "vsc",
      "ls-\xe2\x80\xa8"
      "x",
      "a\\x0ab",
      "a\nb",
      "bad-\xff",
      "esc-\x1b[2J"};
  for (const auto& name : names) touch(name + "/S-A-20210901.csv");
  const auto r = run_cli(missing({"--from", "2021-09-01", "--to", "2021-09-02"}));
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), names.size() + 1);  // one per directory, then the summary
  for (const auto& line : lines) {
    for (const char c : line) {
      const auto byte = static_cast<unsigned char>(c);
      EXPECT_TRUE(byte >= 0x20 && byte < 0x7f) << line;  // only plain ASCII remains
    }
  }
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size());
  EXPECT_THAT(r.out, HasSubstr("\na\\\\x0ab: 2021-09-02 (1 day)\n"));
  EXPECT_THAT(r.out, HasSubstr("\na\\x0ab: 2021-09-02 (1 day)\n"));
  EXPECT_THAT(r.out, HasSubstr("csi-\\u{009B}31m: "));
  EXPECT_THAT(r.out, HasSubstr("rlo-\\u{202E}vsc: "));
  EXPECT_THAT(r.out, HasSubstr("ls-\\u{2028}x: "));
}

// Accepts nothing: every write fails, as on a full disk.
class FullStreamBuf : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST_F(ProfileLogsCli, FailedWriteIsNeverReportedAsComplete) {
  touch("S-A-20210901.csv");
  touch("gap/S-A-20210901.csv");
  touch("gap/S-A-20210903.csv");
  const std::string root = root_.string();
  for (const char* to : {"2021-09-01", "2021-09-02"}) {
    for (const char* format : {"--json", "--folder=false"}) {
      FullStreamBuf full;
      std::ostream out(&full);
      std::istringstream in;
      std::ostringstream err;
      const quelmar::cli::Io io{
          in, out, err, [](const std::string&) -> std::optional<std::string> { return {}; }};
      const char* argv[] = {"quelmar",    "profile-logs", "missing", root.c_str(), "--from",
                            "2021-09-01", "--to",         to,        format};
      EXPECT_EQ(quelmar::cli::run(9, argv, io), 2) << to << format;
    }
  }
}

TEST_F(ProfileLogsCli, FolderWhoseExistenceCannotBeCheckedIsAnError) {
  fs::create_symlink("loop", root_ / "loop");
  const auto path = (root_ / "loop").string();
  const auto r = run_cli({"profile-logs", "missing", path, "--folder", "--from", "2021-09-01",
                          "--to", "2021-09-02", "--json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.out, IsEmpty());
  EXPECT_EQ(r.err, "quelmar: cannot check " + path + ": Too many levels of symbolic links\n");
}

TEST_F(ProfileLogsCli, FullCalendarStreamsBothForms) {
  touch("a/S-A-00010101.csv");
  touch("b/S-A-99991231.csv");
  auto r = run_cli(missing({"--from", "0001-01-01", "--to", "9999-12-31"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("a: 0001-01-02..9999-12-31 (3652058 days)\n"));
  EXPECT_THAT(r.out, HasSubstr("b: 0001-01-01..9999-12-30 (3652058 days)\n"));
  EXPECT_THAT(r.out, HasSubstr("7304116 days missing in 2 directories for "
                               "0001-01-01..9999-12-31 (3652059 days)\n"));
  r = run_cli(missing({"--from", "0001-01-01", "--to", "9999-12-31", "--json"}));
  EXPECT_EQ(r.status, 1);
  // Two arrays of 3652058 days of 12 characters each, less the last commas.
  EXPECT_EQ(r.out.size(), std::string(R"({"a":[],"b":[]})").size() + 2 * (3652058 * 13 - 1) + 1);
  // Checked by search: a failure must not print a 95 MB string.
  for (const char* part : {R"("a":["0001-01-02","0001-01-03",)", R"("9999-12-30","9999-12-31"])",
                           R"("b":["0001-01-01","0001-01-02",)", R"("9999-12-29","9999-12-30"])"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << part;
  }
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
  EXPECT_THAT(r.out, ::testing::StartsWith("quelmar " QUELMAR_VERSION));
  r = run_cli({"profile-logs", "missing", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("--folder"));
}

}  // namespace
