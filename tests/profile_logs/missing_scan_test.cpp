#include "quelmar/profile_logs/missing_scan.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace {

namespace report = quelmar::profile_logs::report;
namespace metrics = quelmar::profile_logs::metrics;
namespace fs = std::filesystem;
using quelmar::profile_logs::dunmere::Date;
using report::ScanOutcome;
using ::testing::HasSubstr;

Date sept(unsigned d) {
  return Date{std::chrono::year{2021}, std::chrono::month{9}, std::chrono::day{d}};
}

class MissingScan : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "m");
    std::ofstream(root_ / "m" / "S-A-20210901.csv");
  }
  void TearDown() override { fs::remove_all(root_); }

  report::MissingScan scan(const fs::path& path) {
    return {.path = path.string(), .range = {sept(1), sept(2)}};
  }

  fs::path root_ = quelmar::testing::make_temp_dir("missing-scan");
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(MissingScan, ATreeIsReportedAsItIsWalkedWithItsMetrics) {
  metrics::MissingFilesMetrics collected(root_.string());
  auto s = scan(root_);
  s.metrics = &collected;
  EXPECT_EQ(report::report_missing(s, out_, err_), ScanOutcome::kGaps);
  EXPECT_EQ(out_.str(),
            "m: 2021-09-02 (1 day)\n"
            "1 day missing in 1 directory for 2021-09-01..2021-09-02 (2 days)\n");
  EXPECT_THAT(collected.render({.success = true}), HasSubstr("directory=\"m\"} 1\n"));

  s.range = {sept(1), sept(1)};
  s.json = true;
  out_.str("");
  EXPECT_EQ(report::report_missing(s, out_, err_), ScanOutcome::kComplete);
  EXPECT_EQ(out_.str(), "{}\n");
}

TEST_F(MissingScan, AFolderThatDoesNotExistMissesEveryDay) {
  auto s = scan(root_ / "absent");
  s.folder = true;
  s.json = true;
  EXPECT_EQ(report::report_missing(s, out_, err_), ScanOutcome::kGaps);
  EXPECT_EQ(out_.str(), "[\"2021-09-01\",\"2021-09-02\"]\n");

  s = scan(root_ / "m");
  s.folder = true;
  out_.str("");
  EXPECT_EQ(report::report_missing(s, out_, err_), ScanOutcome::kGaps);
  EXPECT_EQ(out_.str(), (root_ / "m").string() +
                            ": 2021-09-02 (1 day)\n"
                            "1 day missing in 1 directory for 2021-09-01..2021-09-02 (2 days)\n");
}

TEST_F(MissingScan, APathThatCannotBeScannedIsAnErrorNeverAnEmptyReport) {
  const auto file = root_ / "m" / "S-A-20210901.csv";
  try {
    report::report_missing(scan(file), out_, err_);
    ADD_FAILURE() << "no error";
  } catch (const report::ScanFailed& e) {
    EXPECT_EQ(std::string(e.what()), "cannot scan " + file.string() + ": Not a directory");
  }
  auto s = scan(file);
  s.folder = true;
  EXPECT_THROW(report::report_missing(s, out_, err_), report::ScanFailed);
  EXPECT_EQ(out_.str(), "");

  out_.setstate(std::ios::badbit);
  EXPECT_EQ(report::report_missing(scan(root_), out_, err_), ScanOutcome::kOutputFailed);
}

}  // namespace
