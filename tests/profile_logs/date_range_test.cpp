#include "quelmar/profile_logs/date_range.hpp"

#include <chrono>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/scoped_time_zone.hpp"

namespace {

namespace dunmere = quelmar::profile_logs::dunmere;
using dunmere::Date;
using dunmere::DateRangeError;
using std::chrono::system_clock;

Date ymd(int y, unsigned m, unsigned d) {
  return Date{std::chrono::year{y}, std::chrono::month{m}, std::chrono::day{d}};
}

// Fails the test when the clock is read: only --last may read it.
system_clock::time_point unread_clock() {
  ADD_FAILURE() << "the clock was read";
  return {};
}

std::string error_of(const dunmere::DateRangeRequest& request) {
  try {
    dunmere::resolve_date_range(request, unread_clock);
  } catch (const DateRangeError& e) {
    return e.what();
  }
  return "no error";
}

TEST(DateRange, FromAndToAreInclusiveAndChecked) {
  const auto range =
      dunmere::resolve_date_range({.from = "2020-02-28", .to = "2020-02-29"}, unread_clock);
  EXPECT_EQ(range.from, ymd(2020, 2, 28));
  EXPECT_EQ(range.to, ymd(2020, 2, 29));
  const auto one =
      dunmere::resolve_date_range({.from = "2021-09-01", .to = "2021-09-01"}, unread_clock);
  EXPECT_EQ(one.from, one.to);

  EXPECT_EQ(error_of({.from = "2021-09-02", .to = "2021-09-01"}),
            "--from 2021-09-02 is later than --to 2021-09-01");
  EXPECT_EQ(error_of({.from = "2021-09-01"}), "give --from and --to, or --last");
  EXPECT_EQ(error_of({}), "give --from and --to, or --last");
  EXPECT_EQ(error_of({.from = "2021-02-29", .to = "2021-03-01"}),
            "not a calendar date (YYYY-MM-DD): 2021-02-29");
  EXPECT_EQ(error_of({.from = "2021-09-01", .to = "2021-9-2"}),
            "not a calendar date (YYYY-MM-DD): 2021-9-2");
}

TEST(DateRange, LastCountsBackFromYesterdayAndWinsOverFromAndTo) {
  const quelmar::testing::ScopedTimeZone tz("UTC0");
  const auto now = [] { return system_clock::time_point{std::chrono::sys_days{ymd(2021, 3, 1)}}; };
  const auto range = dunmere::resolve_date_range({.from = "x", .to = "y", .last = 2}, now);
  EXPECT_EQ(range.from, ymd(2021, 2, 27));
  EXPECT_EQ(range.to, ymd(2021, 2, 28));

  const auto error = [&](std::uint64_t last) {
    try {
      dunmere::resolve_date_range({.last = last}, now);
    } catch (const DateRangeError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error(0), "--last 0 names no day");
  EXPECT_EQ(error(800'000), "--last 800000 reaches before 0001-01-01");
}

}  // namespace
