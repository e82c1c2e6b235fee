// The metrics file of a run: written however the run ends, and once.
#include "quelmar/orchestrate/fleet/metrics_file.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "quelmar/util/file_reading.hpp"
#include "support/temp_dir.hpp"

namespace quelmar::orchestrate::fleet::metrics {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

class MetricsFileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = quelmar::testing::make_temp_dir("metrics-file"); }
  void TearDown() override { fs::remove_all(dir_); }

  // Each reading of the clock is 2.5 s after the one before.
  MetricsFile::Now clock() {
    return [this] {
      now_ += std::chrono::milliseconds(2500);
      return now_;
    };
  }
  MetricsFile::Complaint complaints() {
    return [this](const std::string& message) { complaints_.push_back(message); };
  }
  std::string read(const fs::path& path) const {
    return util::read_whole_file(path, {.max_bytes = 1 << 20});
  }

  fs::path dir_;
  std::chrono::system_clock::time_point now_{};
  std::vector<std::string> complaints_;
};

TEST_F(MetricsFileTest, ARunThatNeverGotToItsEndIsWrittenAsFailed) {
  const fs::path path = dir_ / "fleet.prom";
  {
    MetricsFile file(path.string(), "apply", clock(), complaints());
    file.app = "app";
  }
  const std::string text = read(path);
  EXPECT_THAT(text, HasSubstr("quelmar_fleet_run_success{app=\"app\",command=\"apply\"} 0\n"));
  EXPECT_THAT(
      text,
      HasSubstr("quelmar_fleet_run_duration_seconds{app=\"app\",command=\"apply\"} 2.500000\n"));
  // Without a plan there is no fleet to describe.
  EXPECT_THAT(text, Not(HasSubstr("quelmar_fleet_meters")));
  EXPECT_TRUE(complaints_.empty());
}

TEST_F(MetricsFileTest, AFinishedRunIsWrittenOnceWithWhatItGotTo) {
  const fs::path path = dir_ / "fleet.prom";
  const Plan plan{.app = "app"};
  {
    MetricsFile file(path.string(), "plan", clock(), complaints());
    file.app = "app";
    file.plan = &plan;
    file.finish(true);
    EXPECT_THAT(read(path), HasSubstr("command=\"plan\"} 1\n"));
    EXPECT_THAT(read(path), HasSubstr("quelmar_fleet_meters{app=\"app\"} 0\n"));
    fs::remove(path);
    file.finish(false);
  }
  EXPECT_FALSE(fs::exists(path));  // neither finish nor the end rewrote it
}

TEST_F(MetricsFileTest, WithoutAPathNothingIsWrittenOrSaid) {
  {
    MetricsFile file(std::nullopt, "plan", clock(), complaints());
    file.finish(true);
  }
  EXPECT_TRUE(fs::is_empty(dir_));
  EXPECT_TRUE(complaints_.empty());
}

TEST_F(MetricsFileTest, AFileThatCannotBeWrittenIsAnErrorAndNeverThrownFromTheEnd) {
  const std::string path = (dir_ / "missing" / "fleet.prom").string();
  {
    MetricsFile file(path, "apply", clock(), complaints());
    try {
      file.finish(true);
      ADD_FAILURE() << "finish wrote " << path;
    } catch (const MetricsFileError& e) {
      EXPECT_THAT(e.what(), HasSubstr("cannot write " + path + ": "));
    }
  }
  EXPECT_TRUE(complaints_.empty());  // said once, by finish
  { MetricsFile failed(path, "apply", clock(), complaints()); }
  ASSERT_EQ(complaints_.size(), 1U);
  EXPECT_THAT(complaints_[0], HasSubstr("cannot write " + path));
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet::metrics
