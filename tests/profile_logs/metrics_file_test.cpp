#include "quelmar/profile_logs/metrics_file.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace {

namespace metrics = quelmar::profile_logs::metrics;
namespace fs = std::filesystem;
using std::chrono::system_clock;

class MetricsFile : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir_); }

  std::string read(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // A clock that gives 10 s, then 12.5 s, then fails the test.
  metrics::ScanMetricsFile::WallClock ticks() {
    return [this] {
      const std::vector<system_clock::time_point> at{
          system_clock::time_point{} + std::chrono::seconds(10),
          system_clock::time_point{} + std::chrono::milliseconds(12'500)};
      if (reads_ >= at.size()) ADD_FAILURE() << "the clock was read once too often";
      return at[std::min(reads_++, at.size() - 1)];
    };
  }

  // What the file would hold: the run, in words.
  static std::string render(const metrics::ScanRun& run) {
    return std::string(run.success ? "ok " : "failed ") + std::to_string(run.duration.count());
  }

  fs::path dir_ = quelmar::testing::make_temp_dir("metrics-file");
  std::size_t reads_ = 0;
};

TEST_F(MetricsFile, WrittenWhenTheScanEndsAnsweredOrNot) {
  const auto path = dir_ / "scan.prom";
  EXPECT_TRUE(metrics::ScanMetricsFile(path, ticks()).run([] { return true; }, render));
  EXPECT_EQ(read(path), "ok 2.500000");
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::group_read | fs::perms::others_read);
  reads_ = 0;
  EXPECT_FALSE(metrics::ScanMetricsFile(path, ticks()).run([] { return false; }, render));
  EXPECT_EQ(read(path), "failed 2.500000");
}

TEST_F(MetricsFile, AScanThatThrowsIsWrittenAsFailedAndItsErrorGoesOn) {
  const auto path = dir_ / "scan.prom";
  const metrics::ScanMetricsFile file(path, ticks());
  EXPECT_THROW(file.run([]() -> bool { throw std::runtime_error("cannot scan /r"); }, render),
               std::runtime_error);
  EXPECT_EQ(read(path), "failed 2.500000");

  // The scan's error, not the file's, when neither works out.
  reads_ = 0;
  const metrics::ScanMetricsFile nowhere(dir_ / "absent" / "scan.prom", ticks());
  try {
    nowhere.run([]() -> bool { throw std::out_of_range("the scan's"); }, render);
    ADD_FAILURE() << "no error";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "the scan's");
  }
}

TEST_F(MetricsFile, AFileThatCannotBeWrittenFailsTheRun) {
  const auto path = dir_ / "absent" / "scan.prom";
  try {
    metrics::ScanMetricsFile(path.string(), ticks()).run([] { return true; }, render);
    ADD_FAILURE() << "no error";
  } catch (const metrics::MetricsFileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot write " + path.string() + ": No such file or directory");
  }
}

TEST_F(MetricsFile, WithoutAPathNothingIsWrittenNorTheClockRead) {
  const metrics::ScanMetricsFile none("", [] {
    ADD_FAILURE() << "the clock was read";
    return system_clock::time_point{};
  });
  EXPECT_TRUE(none.run([] { return true; },
                       [](const metrics::ScanRun&) -> std::string {
                         ADD_FAILURE() << "rendered";
                         return "";
                       }));
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST(ConstantLabels, EachIsCheckedAgainstTheOnesBefore) {
  const auto labels = metrics::parse_constant_labels({"site=north", "tier=1"});
  ASSERT_EQ(labels.size(), 2u);
  EXPECT_EQ(labels[1].name, "tier");
  EXPECT_EQ(labels[1].value, "1");
  const auto error = [](const std::vector<std::string>& texts) {
    try {
      metrics::parse_constant_labels(texts);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error({"site=a", "site=b"}), "site=b: the label site is given twice");
  EXPECT_EQ(error({"root=x"}), "root=x: the label root is set by the scan itself");
  EXPECT_EQ(error({"site"}), "site: not NAME=VALUE");
}

}  // namespace
