#include "quelmar/profile_logs/date_range.hpp"

#include <string>

#include "quelmar/profile_logs/dunmere.hpp"
#include "quelmar/util/calendar.hpp"

namespace quelmar::profile_logs::dunmere {

namespace {

Date parse_day(std::string_view text) {
  const auto day = util::parse_iso_date(text);
  if (!day) throw DateRangeError("not a calendar date (YYYY-MM-DD): " + std::string(text));
  return *day;
}

}  // namespace

DateRange resolve_date_range(const DateRangeRequest& request,
                             const std::function<std::chrono::system_clock::time_point()>& now) {
  if (request.last) {
    if (*request.last == 0) throw DateRangeError("--last 0 names no day");
    const auto range = last_days(*request.last, now());
    if (!range) {
      throw DateRangeError("--last " + std::to_string(*request.last) +
                           " reaches before 0001-01-01");
    }
    return {range->first, range->second};
  }
  if (request.from.empty() || request.to.empty()) {
    throw DateRangeError("give --from and --to, or --last");
  }
  const Date from = parse_day(request.from);
  const Date to = parse_day(request.to);
  if (std::chrono::sys_days{to} < std::chrono::sys_days{from}) {
    throw DateRangeError("--from " + std::string(request.from) + " is later than --to " +
                         std::string(request.to));
  }
  return {from, to};
}

}  // namespace quelmar::profile_logs::dunmere
