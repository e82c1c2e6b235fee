#include "quelmar/profile_logs/compare_report.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/temp_dir.hpp"

namespace {

namespace report = quelmar::profile_logs::report;
namespace replicas = quelmar::profile_logs::replicas;
namespace metrics = quelmar::profile_logs::metrics;
namespace fs = std::filesystem;
using quelmar::profile_logs::dunmere::Date;
using quelmar::profile_logs::dunmere::DateRange;
using quelmar::profile_logs::dunmere::DaySet;
using report::CompareFormat;
using std::chrono::day;
using std::chrono::month;
using std::chrono::year;

Date sept(unsigned d) { return Date{year{2021}, month{9}, day{d}}; }
const DateRange kRange{sept(1), sept(5)};

DaySet days_of(std::initializer_list<unsigned> days) {
  DaySet set(kRange.from, kRange.to);
  for (const unsigned d : days) set.insert(sept(d));
  return set;
}

// "a\x1b": days 1-3 lacking in replica 1, day 5 lost; "b" unreadable in replica 0.
struct Comparisons {
  Comparisons() {
    lacking.directory = name;
    lacking.lacking = {{1, days_of({1, 2, 3})}};
    lacking.lost = days_of({5});
    lacking.sources = {{sept(1), 0, "m-20210901.csv"},
                       {sept(2), 0, "m-20210902.csv"},
                       {sept(2), 0, "n-20210902.csv"}};
    unreadable.directory = "b";
    unreadable.lost = days_of({});
    unreadable.unreadable = {0};
  }
  std::string name = "a\x1b";
  replicas::DirectoryComparison lacking;
  replicas::DirectoryComparison unreadable;
};

std::string compare(CompareFormat format, const std::vector<std::string>& roots, bool with_both) {
  std::ostringstream out;
  Comparisons c;
  report::CompareReport r(out, roots, format, kRange);
  EXPECT_TRUE(r.add(c.lacking));
  if (with_both) {
    EXPECT_TRUE(r.add(c.unreadable));
  }
  EXPECT_TRUE(r.finish());
  EXPECT_EQ(r.directories(), with_both ? 2u : 1u);
  return out.str();
}

TEST(CompareReport, TextEscapesNamesAndSumsUp) {
  EXPECT_EQ(compare(CompareFormat::kText, {"/r0", "/r\n1"}, true),
            "a\\x1b: lacking in /r\\x0a1: 2021-09-01..2021-09-03 (3 days)\n"
            "a\\x1b: lost: 2021-09-05 (1 day)\n"
            "b: unreadable in /r0\n"
            "3 days lacking, 1 day lost in 2 directories, 1 unreadable in some replica, "
            "for 2021-09-01..2021-09-05 (5 days) across 2 replicas\n");
  std::ostringstream out;
  report::CompareReport nothing(out, {"/r0", "/r1", "/r2"}, CompareFormat::kText, kRange);
  EXPECT_TRUE(nothing.finish());
  EXPECT_EQ(out.str(),
            "nothing lacking, lost or unreadable in 2021-09-01..2021-09-05 (5 days) "
            "across 3 replicas\n");
}

TEST(CompareReport, JsonIsOneDocumentWithReplicasByIndex) {
  const auto json = nlohmann::json::parse(compare(CompareFormat::kJson, {"/r0", "/r1"}, true));
  EXPECT_EQ(json["replicas"], nlohmann::json({"/r0", "/r1"}));
  EXPECT_EQ(json["directories"][0]["directory"], "a\x1b");
  EXPECT_EQ(
      json["directories"][0]["lacking"],
      nlohmann::json::parse(R"([{"replica":1,"days":["2021-09-01","2021-09-02","2021-09-03"]}])"));
  EXPECT_EQ(json["directories"][0]["lost"], nlohmann::json({"2021-09-05"}));
  EXPECT_EQ(json["directories"][1]["unreadable"], nlohmann::json({0}));
  EXPECT_EQ(json["summary"],
            nlohmann::json::parse(R"({"directories":2,"lacking_days":3,"lost_days":1})"));
}

TEST(CompareReport, CopyListPairsEachSourceWithItsTarget) {
  const std::string nul(1, '\0');
  // Roots with trailing slashes, and "/" itself, give no doubled slash.
  EXPECT_EQ(compare(CompareFormat::kCopyList, {"/r0//", "/"}, false),
            "/r0/a\x1b/m-20210901.csv" + nul + "/a\x1b" + nul +      //
                "/r0/a\x1b/m-20210902.csv" + nul + "/a\x1b" + nul +  //
                "/r0/a\x1b/n-20210902.csv" + nul + "/a\x1b" + nul);
  const std::string relative = compare(CompareFormat::kCopyList, {"r0", "/r1"}, false);
  EXPECT_THAT(relative, ::testing::StartsWith("/"));
  EXPECT_THAT(relative, ::testing::HasSubstr("/r0/a\x1b/m-20210901.csv" + nul + "/r1/a\x1b" + nul));
}

TEST(CompareReport, NothingReachesTheStreamBeforeTheFirstDirectoryNorAfterAFailedWrite) {
  std::ostringstream out;
  { report::CompareReport unused(out, {"/r0", "/r1"}, CompareFormat::kJson, kRange); }
  EXPECT_EQ(out.str(), "");  // a scan that cannot start says nothing on stdout

  Comparisons c;
  out.setstate(std::ios::badbit);
  report::CompareReport r(out, {"/r0", "/r1"}, CompareFormat::kText, kRange);
  EXPECT_FALSE(r.add(c.lacking));
  out.clear();
  EXPECT_FALSE(r.finish());
  EXPECT_EQ(out.str(), "");  // no summary that would read as a complete answer
}

// ---------------------------------------------------------------- over real trees

class ComparisonOfTrees : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "r0/m");
    fs::create_directories(root_ / "r1/m");
    std::ofstream(root_ / "r0/m/S-20210901.csv");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string replica(int i) { return (root_ / ("r" + std::to_string(i))).string(); }

  fs::path root_ = quelmar::testing::make_temp_dir("comparison");
  std::ostringstream out_;
};

TEST_F(ComparisonOfTrees, EachDirectoryIsReportedAndCounted) {
  metrics::ComparisonMetrics collected({replica(0), replica(1)});
  const report::ComparisonScan scan{.compare = {.start_date = sept(1), .end_date = sept(1)},
                                    .metrics = &collected};
  EXPECT_EQ(report::report_comparison({replica(0), replica(1)}, scan, out_),
            report::ScanOutcome::kGaps);
  EXPECT_EQ(out_.str(), "m: lacking in " + replica(1) +
                            ": 2021-09-01 (1 day)\n"
                            "1 day lacking, 0 days lost in 1 directory for 2021-09-01..2021-09-01 "
                            "(1 day) across 2 replicas\n");
  EXPECT_THAT(collected.render({.success = true}),
              ::testing::HasSubstr("quelmar_profile_log_scan_lacking_files{"));

  // The copy list asks the comparison for the sources itself.
  out_.str("");
  EXPECT_EQ(report::report_comparison({replica(0), replica(1)},
                                      {.compare = scan.compare, .format = CompareFormat::kCopyList},
                                      out_),
            report::ScanOutcome::kGaps);
  EXPECT_EQ(out_.str(), replica(0) + "/m/S-20210901.csv" + std::string(1, '\0') + replica(1) +
                            "/m" + std::string(1, '\0'));
}

TEST_F(ComparisonOfTrees, ARootThatCannotBeListedFailsBeforeAnythingIsWritten) {
  const std::string absent = (root_ / "absent").string();
  try {
    report::report_comparison(
        {replica(0), absent},
        {.compare = {.start_date = sept(1), .end_date = sept(1)}, .format = CompareFormat::kJson},
        out_);
    ADD_FAILURE() << "no error";
  } catch (const report::ScanFailed& e) {
    EXPECT_EQ(std::string(e.what()), "cannot scan " + absent + ": No such file or directory");
  }
  EXPECT_EQ(out_.str(), "");
}

}  // namespace
