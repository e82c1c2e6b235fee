// Why a saved plan no longer holds.
#include "quelmar/orchestrate/fleet/stale_report.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quelmar::orchestrate::fleet {
namespace {

TEST(StaleReport, NamesTheMachineAndItsMeterAndCutsALongChangeShort) {
  EXPECT_EQ(stale_line({.machine_id = "e1", .meter_id = "M1", .what = "state stopped -> started"}),
            "machine e1 of meter M1: state stopped -> started");
  const std::string line = stale_line({.machine_id = "e\x1b", .what = std::string(5000, 'c')});
  EXPECT_TRUE(line.starts_with("machine e\\x1b of meter -: ccc")) << line;
  EXPECT_LT(line.size(), 400U);
  EXPECT_EQ(stale_summary(1),
            "the plan is stale (1 machine changed since it was made); make a new plan");
  EXPECT_EQ(stale_summary(3),
            "the plan is stale (3 machines changed since it was made); make a new plan");
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
