// What an apply did, as the operator reads it.
#include "quelmar/orchestrate/fleet/apply_report.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace quelmar::orchestrate::fleet {
namespace {

using nlohmann::json;

Report finished() {
  Report report;
  report.results = {
      {.action = ActionKind::kOk, .meter_id = "M1", .machine_id = "o1", .region = "ams"},
      {.action = ActionKind::kUpdate, .meter_id = "M2", .machine_id = "u2", .region = "ams"},
      {.action = ActionKind::kCreate,
       .meter_id = "M3",
       .region = "iad",
       .outcome = Outcome::kFailed,
       .error = "create refused: 422\x1b[2J"},
      {.action = ActionKind::kUpdate,
       .meter_id = "M4",
       .machine_id = "u4",
       .region = "ams",
       .outcome = Outcome::kSkipped,
       .error = "an earlier update failed"},
      {.action = ActionKind::kDuplicate,
       .meter_id = "M2",
       .machine_id = "d5",
       .region = "ams",
       .outcome = Outcome::kKept,
       .error = "its primary is not in step"},
  };
  return report;
}

TEST(ApplyReport, ResultLinesSayTheOutcomeAndWhyEscaped) {
  const Report report = finished();
  EXPECT_EQ(result_line(report.results[1]), "update M2 u2 ams: ok");
  EXPECT_EQ(result_line(report.results[2]), "create M3: failed: create refused: 422\\x1b[2J");
  EXPECT_EQ(result_line(report.results[4]),
            "duplicate M2 d5 ams: kept (its primary is not in step)");
}

TEST(ApplyReport, SummaryCountsEachResultOnceAndNamesOnlyOutcomesThatHappened) {
  Report report = finished();
  EXPECT_EQ(apply_summary_line("app", report),
            "applied to app: 1 changed, 1 in step, 1 failed, 1 skipped, 1 kept");
  report.results.resize(2);
  report.interrupted = true;
  EXPECT_EQ(apply_summary_line("app", report),
            "applied to app: 1 changed, 1 in step, 0 failed (interrupted)");
}

TEST(ApplyReport, JsonHasEveryResultAndTheOldOkTotal) {
  std::ostringstream out;
  write_apply_report(out, "app", finished(), ReportFormat::kJson);
  const json report = json::parse(out.str());
  ASSERT_EQ(report["results"].size(), 5U);
  EXPECT_EQ(report["results"][0]["error"], nullptr);
  EXPECT_EQ(report["results"][2]["machine_id"], nullptr);
  EXPECT_EQ(report["results"][2]["error"], "create refused: 422\x1b[2J");  // data kept whole
  EXPECT_EQ(out.str().find('\x1b'), std::string::npos);
  EXPECT_EQ(
      report["summary"],
      json(
          {{"changed", 1}, {"in_step", 1}, {"failed", 1}, {"skipped", 1}, {"kept", 1}, {"ok", 2}}));
}

TEST(ApplyReport, ProgressEstimatesTheRestFromThePaceSoFar) {
  using std::chrono::seconds;
  EXPECT_EQ(progress_line({.done = 0, .total = 4, .failed = 0, .elapsed = seconds(0)}),
            "0/4 done, 0 failed, 0.0 s elapsed, ETA 0.0 s");
  EXPECT_EQ(progress_line({.done = 1, .total = 4, .failed = 1, .elapsed = seconds(3)}),
            "1/4 done, 1 failed, 3.0 s elapsed, ETA 9.0 s");
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
