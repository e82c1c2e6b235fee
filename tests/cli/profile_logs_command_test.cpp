#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
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
#include "support/scoped_time_zone.hpp"
#include "support/temp_dir.hpp"
#include "support/unprivileged.hpp"

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
      // Exit 2 is also a usage error's: the message tells the two apart.
      EXPECT_THAT(err.str(), ::testing::HasSubstr("quelmar: cannot write output")) << to << format;
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

// ---------------------------------------------------------------- compare, --expect, --last,
// --prometheus

using Clock = std::chrono::system_clock;

// Runs the CLI in-process with a clock that gives `ticks` in turn (then the last one again).
quelmar::cli::testing::CliResult run_cli_at(const std::vector<std::string>& args,
                                            std::vector<Clock::time_point> ticks) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  std::size_t next = 0;
  quelmar::cli::Io io{in, out, err,
                      [](const std::string&) -> std::optional<std::string> { return {}; }};
  io.clock = [&] { return ticks[std::min(next++, ticks.size() - 1)]; };
  std::vector<const char*> argv{"quelmar"};
  for (const auto& a : args) argv.push_back(a.c_str());
  const int status = quelmar::cli::run(static_cast<int>(argv.size()), argv.data(), io);
  return {status, out.str(), err.str()};
}

Clock::time_point at_utc(int y, unsigned m, unsigned d, int hour, int minute) {
  using namespace std::chrono;
  return sys_days{year{y} / month{m} / day{d}} + hours{hour} + minutes{minute};
}

struct ShellRun {
  int status;
  std::string out;
};

// Runs a bash command line; its stdout and stderr together, and the exit status.
ShellRun shell(const std::string& command) {
  std::string escaped;
  for (const char c : command) escaped += c == '\'' ? std::string("'\\''") : std::string(1, c);
  FILE* pipe = ::popen(("bash -c '" + escaped + "' 2>&1 </dev/null").c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ReplicaCli : public ProfileLogsCli {
 protected:
  // Dated files for the listed days of September 2021 (1 to 9).
  void days(const std::string& rel_dir, const std::string& days) {
    for (const char d : days) touch(rel_dir + "/S-A-2021090" + d + ".csv");
  }
  std::string replica(int i) const { return (root_ / ("r" + std::to_string(i))).string(); }
  std::vector<std::string> compare(std::vector<std::string> extra) {
    std::vector<std::string> args{"profile-logs", "compare", replica(0), replica(1)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  fs::path write_file(const std::string& name, const std::string& text) {
    std::ofstream(root_ / name, std::ios::binary) << text;
    return root_ / name;
  }
};

TEST_F(ReplicaCli, CompareReportsLackingAndLostDaysInByteOrder) {
  days("r0/m2", "1");
  days("r0/m1", "123");
  days("r1/m1", "1");
  days("r0/m\xff", "1");
  days("r1/m\xff", "1");
  days("r0/same", "123");
  days("r1/same", "123");
  auto r = run_cli(compare({"--from", "2021-09-01", "--to", "2021-09-03"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "m1: lacking in " + replica(1) + ": 2021-09-02..2021-09-03 (2 days)\n" +
                       "m2: lacking in " + replica(1) + ": 2021-09-01 (1 day)\n" +
                       "m2: lost: 2021-09-02..2021-09-03 (2 days)\n" +
                       "m\\xff: lost: 2021-09-02..2021-09-03 (2 days)\n" +
                       "3 days lacking, 4 days lost in 3 directories for 2021-09-01..2021-09-03 "
                       "(3 days) across 2 replicas\n");
  EXPECT_THAT(r.err, IsEmpty());

  r = run_cli(compare({"--from", "2021-09-01", "--to", "2021-09-03", "--json"}));
  EXPECT_EQ(r.status, 1);
  const auto expected =
      nlohmann::json::parse(R"({"replicas": [")" + replica(0) + R"(", ")" + replica(1) + R"("],
      "directories": [
        {"directory": "m1", "lacking": [{"replica": 1, "days": ["2021-09-02", "2021-09-03"]}],
         "lost": [], "unreadable": []},
        {"directory": "m2", "lacking": [{"replica": 1, "days": ["2021-09-01"]}],
         "lost": ["2021-09-02", "2021-09-03"], "unreadable": []},
        {"directory": "m\\xff", "lacking": [], "lost": ["2021-09-02", "2021-09-03"],
         "unreadable": []}],
      "summary": {"directories": 3, "lacking_days": 3, "lost_days": 4}})");
  EXPECT_EQ(nlohmann::json::parse(r.out), expected);

  r = run_cli({"profile-logs", "compare", replica(0) + "/same", replica(1) + "/same", "--from",
               "2021-09-01", "--to", "2021-09-03"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "nothing lacking, lost or unreadable in 2021-09-01..2021-09-03 (3 days) across 2 "
            "replicas\n");
}

TEST_F(ReplicaCli, CompareNamesReplicasThatCannotBeRead) {
  days("r0/site/m1", "12");
  days("r1/site/m1", "1");
  fs::create_directories(replica(2));
  fs::create_directory_symlink(root_ / "r0/site", root_ / "r2/site");  // never followed
  auto r = run_cli({"profile-logs", "compare", replica(0), replica(1), replica(2), "--from",
                    "2021-09-01", "--to", "2021-09-02"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "site/m1: lacking in " + replica(1) + ": 2021-09-02 (1 day)\n" +
                       "site/m1: unreadable in " + replica(2) + "\n" +
                       "1 day lacking, 0 days lost in 1 directory, 1 unreadable in some replica, "
                       "for 2021-09-01..2021-09-02 (2 days) across 3 replicas\n");
}

TEST_F(ReplicaCli, CompareUsageAndScanErrors) {
  days("r0/m", "1");
  days("r1/m", "1");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"profile-logs", "compare", replica(0), "--from", "2021-09-01", "--to", "2021-09-01"},
       "quelmar: compare needs two or more replicas\n"},
      {compare({"--from", "2021-09-01", "--to", "2021-09-01", "--json", "--copy-list"}),
       "quelmar: --json excludes --copy-list\n"},
      {compare({"--last", "3", "--from", "2021-09-01", "--to", "2021-09-01"}),
       "quelmar: --from excludes --last\n"},
      {compare({}), "quelmar: give --from and --to, or --last\n"},
      {compare({"--from", "2021-09-01"}), "quelmar: --from requires --to\n"},
      {compare({"--last", "0"}),
       "quelmar: --last takes a whole number 1..36500 (decimal digits only), not '0'\n"},
      {{"profile-logs", "compare", replica(0), (root_ / "typo").string(), "--from", "2021-09-01",
        "--to", "2021-09-01", "--json"},
       "quelmar: cannot scan " + (root_ / "typo").string() + ": No such file or directory\n"},
  };
  for (const auto& [args, err] : cases) {
    const auto r = run_cli(args);
    EXPECT_EQ(r.status, 2) << err;
    EXPECT_THAT(r.out, IsEmpty()) << err;
    EXPECT_EQ(r.err, err);
  }
}

TEST_F(ReplicaCli, CopyListRepairsTheReplicasThroughXargs) {
  // Names that a shell or a line-based tool would mangle.
  const std::string odd = "odd \n-\xff'\"$x *";
  days("r0/site/m1", "1234");
  days("r1/site/m1", "124");
  days("r2/site/m1", "1");
  days("r0/site/" + odd, "13");
  touch("r1/site/" + odd + "/-M\nX-A-20210902.csv");
  touch("r1/site/" + odd + "/-M\nX-A-20210904.csv");
  days("r2/only-here", "1234");
  // Day 3 of m2: a link in r1 (never a source), a regular file in r2.
  days("r0/site/m2", "124");
  std::ofstream(root_ / "r2/content").flush();
  fs::create_directories(root_ / "r1/site/m2");
  fs::create_symlink(root_ / "r2/content", root_ / "r1/site/m2/S-A-20210903.csv");
  days("r2/site/m2", "1");
  std::ofstream(root_ / "r2/site/m2/S-A-20210903.csv") << "from r2";

  const std::string quelmar = QUELMAR_EXE;
  const std::string range = " --from 2021-09-01 --to 2021-09-04";
  const std::string roots = " '" + replica(0) + "' '" + replica(1) + "' '" + replica(2) + "'";
  auto run = shell(quelmar + " profile-logs compare" + roots + range +
                   " --copy-list | xargs -0 -r -n2 sh -c 'mkdir -p \"$2\" && cp -n -- \"$1\" "
                   "\"$2/\"' copy");
  ASSERT_EQ(run.status, 0) << run.out;
  run = shell(quelmar + " profile-logs compare" + roots + range);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out,
            "nothing lacking, lost or unreadable in 2021-09-01..2021-09-04 (4 days) across 3 "
            "replicas\n");
  EXPECT_TRUE(fs::exists(root_ / "r1/only-here/S-A-20210903.csv"));
  EXPECT_TRUE(fs::exists(root_ / ("r0/site/" + odd + "/-M\nX-A-20210902.csv")));
  EXPECT_TRUE(fs::exists(root_ / ("r2/site/" + odd + "/S-A-20210901.csv")));
  EXPECT_EQ(read_file(root_ / "r0/site/m2/S-A-20210903.csv"), "from r2");
  EXPECT_TRUE(fs::is_symlink(root_ / "r1/site/m2/S-A-20210903.csv"));
}

TEST_F(ReplicaCli, CopyListPairsAreAbsoluteAndNulSeparated) {
  days("r0/a b", "12");
  days("r1/a b", "1");
  const fs::path cwd = fs::current_path();
  fs::current_path(root_);
  const auto r = run_cli({"profile-logs", "compare", "r0/", "r1", "--from", "2021-09-01", "--to",
                          "2021-09-02", "--copy-list"});
  fs::current_path(cwd);
  EXPECT_EQ(r.status, 1);
  const std::string expected = replica(0) + "/a b/S-A-20210902.csv" + std::string(1, '\0') +
                               replica(1) + "/a b" + std::string(1, '\0');
  EXPECT_EQ(r.out, expected);
}

TEST_F(ReplicaCli, ExpectedDirectoriesMissOrLackEveryDay) {
  days("r0/site/m1", "12");
  days("r1/site/m1", "12");
  fs::create_directories(root_ / "r0/site/empty");
  days("r1/site/half", "1");
  const auto list = write_file("expect.txt", "site/m1\nsite/empty\nsite/gone\nsite/half\n");
  auto r = run_cli(
      compare({"--from", "2021-09-01", "--to", "2021-09-02", "--expect", list.string(), "--json"}));
  EXPECT_EQ(r.status, 1);
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["directories"], nlohmann::json::parse(R"([
      {"directory": "site/empty", "lacking": [], "lost": ["2021-09-01", "2021-09-02"], "unreadable": []},
      {"directory": "site/gone", "lacking": [], "lost": ["2021-09-01", "2021-09-02"], "unreadable": []},
      {"directory": "site/half", "lacking": [{"replica": 0, "days": ["2021-09-01"]}],
       "lost": ["2021-09-02"], "unreadable": []}])"));

  r = run_cli({"profile-logs", "missing", replica(0), "--from", "2021-09-01", "--to", "2021-09-02",
               "--expect", list.string(), "--json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::parse(R"({
      "site/empty": ["2021-09-01", "2021-09-02"], "site/gone": ["2021-09-01", "2021-09-02"],
      "site/half": ["2021-09-01", "2021-09-02"]})"));
}

TEST_F(ReplicaCli, ExpectationErrorsNameTheFileAndLine) {
  days("r0/m", "1");
  days("r1/m", "1");
  const auto bad = write_file("bad.txt", "m\n../etc\n");
  for (auto args : {compare({"--from", "2021-09-01", "--to", "2021-09-01"}),
                    std::vector<std::string>{"profile-logs", "missing", replica(0), "--from",
                                             "2021-09-01", "--to", "2021-09-01"}}) {
    args.insert(args.end(), {"--expect", bad.string()});
    const auto r = run_cli(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.out, IsEmpty());
    EXPECT_THAT(r.err, ::testing::StartsWith("quelmar: " + bad.string() + ":2: not a path"));
  }
  const auto absent = (root_ / "absent.txt").string();
  auto r = run_cli(compare({"--from", "2021-09-01", "--to", "2021-09-01", "--expect", absent}));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: cannot read " + absent + ": No such file or directory\n");
  r = run_cli(compare({"--from", "2021-09-01", "--to", "2021-09-01", "--expect", replica(0)}));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: cannot read " + replica(0) + ": Is a directory\n");

  // An expected directory the audit cannot list is reported, and the scan goes on.
  fs::create_directory_symlink(root_ / "r0/m", root_ / "r0/alias");
  const auto list = write_file("alias.txt", "alias\nm\n");
  r = run_cli({"profile-logs", "missing", replica(0), "--from", "2021-09-01", "--to", "2021-09-01",
               "--expect", list.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "alias: cannot be read (symbolic link, not followed)\n"
            "no days missing, 1 directory cannot be read, in 2021-09-01..2021-09-01 (1 day)\n");
  EXPECT_THAT(r.err, IsEmpty());
}

TEST_F(ReplicaCli, LastDaysEndYesterdayInLocalTime) {
  for (const char* r : {"r0", "r1"}) {
    days(std::string(r) + "/m", "789");
    touch(std::string(r) + "/m/S-A-20210910.csv");
  }
  const auto evening = at_utc(2021, 9, 10, 23, 30);
  {
    const quelmar::testing::ScopedTimeZone tz("NZST-12");  // already 11 September there
    const auto r = run_cli_at(compare({"--last", "3"}), {evening});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "nothing lacking, lost or unreadable in 2021-09-08..2021-09-10 (3 days) across 2 "
              "replicas\n");
  }
  const quelmar::testing::ScopedTimeZone tz("UTC0");
  const auto r = run_cli_at({"profile-logs", "missing", replica(0), "--last", "3"}, {evening});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "no days missing in 2021-09-07..2021-09-09 (3 days)\n");
}

// promtool's lint of an exposition file: its complaints and exit status.
ShellRun promtool_check(const fs::path& file) {
  return shell("promtool check metrics < '" + file.string() + "'");
}

TEST_F(ReplicaCli, PrometheusFileForMissing) {
  const std::string odd = "q\"b\\s\xff\nx";
  days("r0/" + odd, "1");
  days("r0/full", "12");
  const auto file = root_ / "missing.prom";
  const auto started = at_utc(2021, 9, 10, 6, 0);
  const auto r = run_cli_at({"profile-logs", "missing", replica(0), "--from", "2021-09-01", "--to",
                             "2021-09-02", "--prometheus", file.string()},
                            {started, started + std::chrono::milliseconds(1500)});
  EXPECT_EQ(r.status, 1);
  const std::string root_label = "root=\"" + replica(0) + "\"";
  EXPECT_EQ(read_file(file),
            "# HELP quelmar_profile_log_missing_files Daily profile-log files missing in the date "
            "range (one per day without a file), per directory with gaps.\n"
            "# TYPE quelmar_profile_log_missing_files gauge\n"
            "quelmar_profile_log_missing_files{" +
                root_label +
                ",directory=\"q\\\"b\\\\\\\\s\\\\xff\\nx\"} 1\n"
                "# HELP quelmar_profile_log_unreadable_directory A directory that cannot be "
                "listed (1), so its days are unknown.\n"
                "# TYPE quelmar_profile_log_unreadable_directory gauge\n"
                "# HELP quelmar_profile_log_scan_missing_files Daily profile-log files missing in "
                "the whole tree.\n"
                "# TYPE quelmar_profile_log_scan_missing_files gauge\n"
                "quelmar_profile_log_scan_missing_files{" +
                root_label +
                "} 1\n"
                "# HELP quelmar_profile_log_scan_directories_with_gaps Directories that miss at "
                "least one daily file.\n"
                "# TYPE quelmar_profile_log_scan_directories_with_gaps gauge\n"
                "quelmar_profile_log_scan_directories_with_gaps{" +
                root_label +
                "} 1\n"
                "# HELP quelmar_profile_log_scan_unreadable_directories Directories that cannot "
                "be listed, in all.\n"
                "# TYPE quelmar_profile_log_scan_unreadable_directories gauge\n"
                "quelmar_profile_log_scan_unreadable_directories{" +
                root_label +
                "} 0\n"
                "# HELP quelmar_profile_log_scan_success Whether the last scan answered its "
                "question (1) or failed (0).\n"
                "# TYPE quelmar_profile_log_scan_success gauge\n"
                "quelmar_profile_log_scan_success{" +
                root_label +
                "} 1\n"
                "# HELP quelmar_profile_log_scan_duration_seconds How long the last scan took.\n"
                "# TYPE quelmar_profile_log_scan_duration_seconds gauge\n"
                "quelmar_profile_log_scan_duration_seconds{" +
                root_label +
                "} 1.500000\n"
                "# HELP quelmar_profile_log_last_run_timestamp_seconds When the last scan ended, "
                "in seconds since the epoch.\n"
                "# TYPE quelmar_profile_log_last_run_timestamp_seconds gauge\n"
                "quelmar_profile_log_last_run_timestamp_seconds{" +
                root_label + "} 1631253601.500\n");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644U);
  const auto lint = promtool_check(file);
  EXPECT_EQ(lint.status, 0) << lint.out;
  EXPECT_THAT(lint.out, IsEmpty());
}

TEST_F(ReplicaCli, PrometheusFileForCompareAndForAFailedScan) {
  days("r0/site/m\xff\"", "123");
  days("r1/site/m\xff\"", "1");
  fs::create_directories(root_ / "r1/site/gone");
  days("r0/site/gone", "1");
  fs::create_directory_symlink(root_ / "r0/site", root_ / "r1/linked");
  days("r0/linked", "1");
  const auto file = root_ / "compare.prom";
  std::ofstream(file) << "stale";
  auto r = run_cli(
      compare({"--from", "2021-09-01", "--to", "2021-09-03", "--prometheus", file.string()}));
  EXPECT_EQ(r.status, 1);
  std::string text = read_file(file);
  const std::string scan = "replicas=\"" + replica(0) + "," + replica(1) + "\"";
  for (const std::string& series : std::vector<std::string>{
           "quelmar_profile_log_lacking_files{" + scan +
               ",directory=\"site/m\\\\xff\\\"\",replica=\"" + replica(1) + "\"} 2\n",
           "quelmar_profile_log_lost_files{" + scan + ",directory=\"site/gone\"} 2\n",
           "quelmar_profile_log_unreadable_directory{" + scan + ",directory=\"linked\",replica=\"" +
               replica(1) + "\"} 1\n",
           "quelmar_profile_log_replica_lacking_files{" + scan + ",replica=\"" + replica(0) +
               "\"} 0\n",
           "quelmar_profile_log_replica_lacking_files{" + scan + ",replica=\"" + replica(1) +
               "\"} 3\n",
           "quelmar_profile_log_scan_lost_files{" + scan + "} 2\n",
           "quelmar_profile_log_scan_success{" + scan + "} 1\n"}) {
    EXPECT_THAT(text, HasSubstr(series));
  }
  auto lint = promtool_check(file);
  EXPECT_EQ(lint.status, 0) << lint.out;
  EXPECT_THAT(lint.out, IsEmpty());

  // A scan that fails still writes the file, so that an alert fires.
  r = run_cli({"profile-logs", "compare", replica(0), (root_ / "typo").string(), "--from",
               "2021-09-01", "--to", "2021-09-03", "--prometheus", file.string()});
  EXPECT_EQ(r.status, 2);
  text = read_file(file);
  EXPECT_THAT(text, HasSubstr("\nquelmar_profile_log_scan_success{replicas=\"" + replica(0) + "," +
                              (root_ / "typo").string() + "\"} 0\n"));
  EXPECT_THAT(text, ::testing::Not(HasSubstr("lacking_files")));
  lint = promtool_check(file);
  EXPECT_EQ(lint.status, 0) << lint.out;
  // Nothing but the file itself is left in its directory.
  for (const auto& entry : fs::directory_iterator(root_)) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
  }

  const auto nowhere = (root_ / "no-such-dir/compare.prom").string();
  r = run_cli(compare({"--from", "2021-09-01", "--to", "2021-09-03", "--prometheus", nowhere}));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: cannot write " + nowhere + ": No such file or directory\n");
}

// ---------------------------------------------------------------- the meter registry,
// unreadable directories, identifying labels

TEST_F(ReplicaCli, InventoryBoundsTheAuditToEachMetersService) {
  for (const char* r : {"r0", "r1"}) {
    days(std::string(r) + "/site/retired", "12");  // decommissioned on the 2nd
    days(std::string(r) + "/site/late", "3");      // commissioned on the 3rd
    days(std::string(r) + "/site/steady", "123");
    days(std::string(r) + "/spare", "1");  // no meter's: audited over the whole range
  }
  const auto registry =
      write_file("meters.csv",
                 "meter_id,directory,commissioned,decommissioned\r\n"
                 "m-1,site/retired,,2021-09-02\r\n"
                 "m-2,site/late,2021-09-03,\r\n"
                 "m-3,site/steady,2021-01-01,\r\n"
                 "m-4,site/new,2021-09-03,\r\n"  // nothing written yet: missing from its first day
                 "m-5,,,\r\n");                  // not audited
  const std::vector<std::string> range = {"--from", "2021-09-01", "--to", "2021-09-03"};
  auto args = compare(range);
  args.insert(args.end(), {"--inventory", registry.string()});
  auto r = run_cli(args);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out,
            "site/new: lost: 2021-09-03 (1 day)\n"
            "spare: lost: 2021-09-02..2021-09-03 (2 days)\n"
            "0 days lacking, 3 days lost in 2 directories for 2021-09-01..2021-09-03 (3 days) "
            "across 2 replicas\n");
  args = {"profile-logs", "missing", replica(0), "--inventory", registry.string(), "--json"};
  args.insert(args.end(), range.begin(), range.end());
  r = run_cli(args);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::parse(R"({
      "site/new": ["2021-09-03"], "spare": ["2021-09-02", "2021-09-03"]})"));

  // One source of expected directories at a time; a registry with problems is no answer.
  args.insert(args.end(), {"--expect", registry.string()});
  EXPECT_EQ(run_cli(args).status, 2);
  const auto bad = write_file("bad.csv",
                              "meter_id,directory,decommissioned\n"
                              "m-1,site/a,2021-02-30\n"
                              "m-2,site/a,\n");
  const auto file = root_ / "registry.prom";
  r = run_cli({"profile-logs", "missing", replica(0), "--last", "3", "--inventory", bad.string(),
               "--prometheus", file.string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.out, IsEmpty());
  EXPECT_EQ(r.err, "quelmar: " + bad.string() +
                       ":2: bad decommissioned '2021-02-30' (YYYY-MM-DD)\n"
                       "quelmar: " +
                       bad.string() + ":3: duplicate directory 'site/a' (first on line 2)\n");
  EXPECT_THAT(read_file(file), HasSubstr("_scan_success{root=\"" + replica(0) + "\"} 0\n"));
}

TEST_F(ReplicaCli, MissingReportsEveryDirectoryItCannotList) {
  days("r0/site/gappy", "1");
  days("r0/site/real", "12");
  fs::create_directory_symlink(root_ / "r0/site/real", root_ / "r0/site/link");
  std::string expect = "site/link\nsite/real\n";
  for (int i = 0; i < 101; ++i) {
    const std::string name = "site/f" + std::to_string(1000 + i);
    touch("r0/" + name);
    expect += name + "\n";
  }
  const auto list = write_file("expect.txt", expect);
  const auto file = root_ / "missing.prom";
  const std::vector<std::string> args = {"profile-logs", "missing",      replica(0),   "--from",
                                         "2021-09-01",   "--to",         "2021-09-02", "--expect",
                                         list.string(),  "--prometheus", file.string()};
  auto r = run_cli(args);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("site/f1000: cannot be read (Not a directory)\n"));
  EXPECT_THAT(r.out, HasSubstr("site/link: cannot be read (symbolic link, not followed)\n"));
  EXPECT_THAT(r.out, HasSubstr("site/gappy: 2021-09-02 (1 day)\n"));
  EXPECT_THAT(r.out, ::testing::EndsWith("\n1 day missing in 1 directory, 102 directories cannot "
                                         "be read, for 2021-09-01..2021-09-02 (2 days)\n"));
  EXPECT_THAT(r.err, IsEmpty());
  const std::string text = read_file(file);
  const std::string root = "root=\"" + replica(0) + "\"";
  for (const std::string& series :
       {"_unreadable_directory{" + root + ",directory=\"site/link\"} 1\n",
        "_scan_unreadable_directories{" + root + "} 102\n",
        "_missing_files{" + root + ",directory=\"site/gappy\"} 1\n",
        "_scan_success{" + root + "} 1\n"}) {
    EXPECT_THAT(text, HasSubstr(series));
  }
  EXPECT_EQ(promtool_check(file).status, 0);

  // JSON keeps its shape; the directories go to stderr, a hundred at most.
  auto json_args = args;
  json_args.push_back("--json");
  r = run_cli(json_args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(nlohmann::json::parse(r.out),
            nlohmann::json::parse(R"({"site/gappy": ["2021-09-02"]})"));
  EXPECT_THAT(r.err, HasSubstr("quelmar: cannot list site/f1000: Not a directory\n"));
  EXPECT_THAT(r.err, ::testing::EndsWith("quelmar: 2 more directories cannot be listed\n"));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 101);

  // Nothing missing but a directory that cannot be read is still no clean bill.
  fs::remove_all(root_ / "r0/site/gappy");
  const auto one = write_file("one.txt", "site/link\n");
  r = run_cli({"profile-logs", "missing", replica(0), "--from", "2021-09-01", "--to", "2021-09-02",
               "--expect", one.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "site/link: cannot be read (symbolic link, not followed)\n"
            "no days missing, 1 directory cannot be read, in 2021-09-01..2021-09-02 (2 days)\n");

  // A directory whose listing is refused, as an unprivileged user sees it.
  days("r0/site/m7", "12");
  fs::permissions(root_ / "r0/site/m7", fs::perms::none);
  fs::permissions(root_, fs::perms::others_exec, fs::perm_options::add);
  EXPECT_EQ(quelmar::testing::run_unprivileged([&] {
              const auto denied = run_cli({"profile-logs", "missing", replica(0), "--from",
                                           "2021-09-01", "--to", "2021-09-02"});
              return denied.status == 1 &&
                             denied.out.starts_with("site/m7: cannot be read (Permission denied)\n")
                         ? 0
                         : 1;
            }),
            0);
  fs::permissions(root_ / "r0/site/m7", fs::perms::owner_all);
}

TEST_F(ReplicaCli, PrometheusLabelsLetScansShareACollectorDirectory) {
  days("r0/m", "12");
  days("r1/m", "1");
  days("r2/m", "2");
  const auto first = root_ / "first.prom";
  const auto second = root_ / "second.prom";
  const std::vector<std::string> range = {"--from", "2021-09-01", "--to", "2021-09-02"};
  auto args = compare(range);
  args.insert(args.end(), {"--prometheus", first.string(), "--prometheus-label", "site=north"});
  EXPECT_EQ(run_cli(args).status, 1);
  args = {"profile-logs",       "compare",    replica(0),     replica(2),
          "--prometheus-label", "site=north", "--prometheus", second.string()};
  args.insert(args.end(), range.begin(), range.end());
  EXPECT_EQ(run_cli(args).status, 1);
  // Every sample names its scan; no series of one file is in the other.
  std::set<std::string> series;
  for (const auto& [path, roots] :
       {std::pair{first, replica(0) + "," + replica(1)}, {second, replica(0) + "," + replica(2)}}) {
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("#")) continue;
      EXPECT_THAT(line, HasSubstr("{replicas=\"" + roots + "\",site=\"north\""));
      EXPECT_TRUE(series.insert(line.substr(0, line.rfind(' '))).second) << line;
    }
  }

  const struct {
    std::string label;
    std::string why;
  } refused[] = {
      {"site", "not NAME=VALUE"},
      {"1site=x", "a label name is letters, digits and _, not starting with a digit"},
      {"si-te=x", "a label name is letters, digits and _, not starting with a digit"},
      {"__name__=x", "label names starting with __ are reserved to Prometheus"},
      {"root=x", "the label root is set by the scan itself"},
      {"replicas=x", "the label replicas is set by the scan itself"},
      {"site=", "the label site has no value"},
  };
  for (const auto& c : refused) {
    const auto r = run_cli({"profile-logs", "missing", replica(0), "--last", "2", "--prometheus",
                            first.string(), "--prometheus-label", c.label});
    EXPECT_EQ(r.status, 2) << c.label;
    EXPECT_EQ(r.err, "quelmar: --prometheus-label " + c.label + ": " + c.why + "\n");
  }
  auto r = run_cli({"profile-logs", "missing", replica(0), "--last", "2", "--prometheus",
                    first.string(), "--prometheus-label", "a=1", "--prometheus-label", "a=2"});
  EXPECT_EQ(r.err, "quelmar: --prometheus-label a=2: the label a is given twice\n");
  r = run_cli({"profile-logs", "missing", replica(0), "--last", "2", "--prometheus-label", "a=1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: --prometheus-label requires --prometheus\n");
}

TEST_F(ReplicaCli, ExpectationErrorsShowABackslashOnce) {
  days("r0/m", "1");
  const auto list = write_file("list.txt", "m\r\n# note\r\nm\\q\r\n");
  const auto r =
      run_cli({"profile-logs", "missing", replica(0), "--last", "2", "--expect", list.string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: " + list.string() +
                       ":3: unknown escape: a backslash must be followed by another backslash, n, "
                       "r, or x and two hexadecimal digits\n");
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
  r = run_cli({"profile-logs", "compare", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("--copy-list"));
}

}  // namespace
