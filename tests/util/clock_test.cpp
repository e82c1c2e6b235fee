#include "quelmar/util/clock.hpp"

#include <gtest/gtest.h>

namespace quelmar::util {
namespace {

using TimePoint = std::chrono::steady_clock::time_point;

TEST(RealClockUnless, FillsOnlyTheEmptyMembers) {
  const Clock real = real_clock_unless({});
  ASSERT_TRUE(real.now);
  ASSERT_TRUE(real.sleep_until);
  const TimePoint before = std::chrono::steady_clock::now();
  const TimePoint read = real.now();
  EXPECT_LE(before, read);
  EXPECT_LE(read, std::chrono::steady_clock::now());
  real.sleep_until(before);  // a time already past returns at once

  // A given member is kept as it is; the other one is the real clock.
  const TimePoint fixed = TimePoint{} + std::chrono::hours(1);
  const Clock half = real_clock_unless({.now = [fixed] { return fixed; }, .sleep_until = {}});
  EXPECT_EQ(half.now(), fixed);
  ASSERT_TRUE(half.sleep_until);
  half.sleep_until(before);

  int slept = 0;
  const Clock other = real_clock_unless({.now = {}, .sleep_until = [&](TimePoint) { ++slept; }});
  other.sleep_until(fixed);
  EXPECT_EQ(slept, 1);
  EXPECT_LE(before, other.now());
}

}  // namespace
}  // namespace quelmar::util
