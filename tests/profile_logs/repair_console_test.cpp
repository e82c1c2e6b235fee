#include "quelmar/profile_logs/repair_console.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace {

namespace repair = quelmar::profile_logs::repair;
namespace report = quelmar::profile_logs::report;
namespace metrics = quelmar::profile_logs::metrics;
namespace fs = std::filesystem;
using quelmar::profile_logs::dunmere::Date;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using ::testing::HasSubstr;

struct Console {
  std::ostringstream out;
  std::ostringstream err;
  report::BlockWriter writer{out};
  steady_clock::time_point now{};
  quelmar::util::Clock clock{.now = [this] { return now; }};
};

TEST(ConsoleRepairReport, NamesEveryFileEscapedBelowItsRoot) {
  Console c;
  repair::ConsoleRepairReport r({"/r0/", "/", "r\x1b"}, c.writer, c.err, false, c.clock);
  r.would_copy({0, "a/b", "m-20210901.csv"}, {1, "a/b", "m-20210901.csv"});
  r.skipped_source({2, "d\n", "x"}, "not a regular file");
  r.not_copied({0, ".", "y"}, {2, "e", "y"}, "No space\x07");
  r.no_source(1, "site", Date{std::chrono::year{2021}, std::chrono::month{9}, std::chrono::day{2}});
  const std::size_t both[] = {0, 2};
  r.unreadable("z\x1b", both);
  r.not_synced(2, "I/O error");
  ASSERT_TRUE(c.writer.flush());
  EXPECT_EQ(c.out.str(), "/r0/a/b/m-20210901.csv -> /a/b/m-20210901.csv\n");
  EXPECT_EQ(c.err.str(),
            "quelmar: skipped r\\x1b/d\\x0a/x: not a regular file\n"
            "quelmar: cannot copy /r0/y to r\\x1b/e/y: No space\\x07\n"
            "quelmar: cannot repair /site: no replica holds a regular file of 2021-09-02\n"
            "quelmar: z\\x1b: unreadable in /r0, r\\x1b\n"
            "quelmar: cannot sync r\\x1b: I/O error\n");
}

TEST(ConsoleRepairReport, ProgressOnlyOnATerminalAndAtMostEveryInterval) {
  Console quiet;
  repair::ConsoleRepairReport off({"/a", "/b"}, quiet.writer, quiet.err, false, quiet.clock);
  off.planned(3);
  off.progress(1, 10);
  off.finish(3, 30);
  EXPECT_EQ(quiet.err.str(), "");

  Console c;
  repair::ConsoleRepairReport r({"/a", "/b"}, c.writer, c.err, true, c.clock);
  r.planned(4);
  c.now += std::chrono::seconds(2);
  r.progress(1, 2'000'000);  // the first is drawn at once
  c.now += repair::ConsoleRepairReport::PROGRESS_INTERVAL - milliseconds(1);
  r.progress(2, 3'000'000);  // too soon
  c.now += milliseconds(1);
  r.progress(3, 4'000'000);
  EXPECT_EQ(c.err.str(),
            "\rcopied 1 of 4 files (2.0 MB, 1.0 MB/s)"
            "\rcopied 3 of 4 files (4.0 MB, 1.9 MB/s)");

  // A problem clears the line first; finish leaves the final figures on a line of their own.
  c.err.str("");
  r.not_synced(0, "gone");
  r.finish(4, 6'000'000);
  EXPECT_EQ(c.err.str(), "\r" + std::string(38, ' ') +
                             "\rquelmar: cannot sync /a: gone\n"
                             "\rcopied 4 of 4 files (6.0 MB, 2.9 MB/s)\n");
}

TEST(ConsoleRepairReport, SummaryKeepsOneFormForScripts) {
  Console c;
  repair::write_repair_summary(
      c.writer, {.files = 1, .bytes = 10, .directories = 1, .not_copied = 2, .lost_days = 1});
  ASSERT_TRUE(c.writer.flush());
  EXPECT_EQ(c.out.str(),
            "repaired 1 files (10 bytes) in 1 directories; 2 could not be copied; 1 days lost\n");
}

// A dry run shows what a repair then does; the repair leaves nothing lacking, as the
// comparison after it says.
TEST(RepairOnConsole, DryRunThenRepairThenNothingLeft) {
  const fs::path root = quelmar::testing::make_temp_dir("repair-console");
  fs::create_directories(root / "r0/m");
  fs::create_directories(root / "r1");
  std::ofstream(root / "r0/m/S-20210901.csv") << "data";
  const std::vector<std::string> roots{(root / "r0").string(), (root / "r1").string()};
  const Date day{std::chrono::year{2021}, std::chrono::month{9}, std::chrono::day{1}};
  repair::ConsoleRepair run{
      .options = {.compare = {.start_date = day, .end_date = day}, .dry_run = true}};
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(repair::repair_on_console(roots, run, out, err), report::ScanOutcome::kGaps);
  EXPECT_EQ(out.str(), roots[0] + "/m/S-20210901.csv -> " + roots[1] + "/m/S-20210901.csv\n");
  EXPECT_FALSE(fs::exists(root / "r1/m"));

  metrics::ComparisonMetrics after(roots);
  run.options.dry_run = false;
  run.metrics_after = &after;
  out.str("");
  EXPECT_EQ(repair::repair_on_console(roots, run, out, err), report::ScanOutcome::kComplete);
  EXPECT_EQ(out.str(),
            "repaired 1 files (4 bytes) in 1 directories; 0 could not be copied; 0 days lost\n");
  EXPECT_TRUE(fs::exists(root / "r1/m/S-20210901.csv"));
  EXPECT_THAT(after.render({.success = true}),
              HasSubstr("quelmar_profile_log_scan_lacking_files{replicas="));
  EXPECT_THAT(after.render({.success = true}), ::testing::Not(HasSubstr("directory=")));
  EXPECT_EQ(err.str(), "");
  fs::remove_all(root);
}

}  // namespace
