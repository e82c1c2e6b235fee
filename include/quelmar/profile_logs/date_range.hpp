// The days a scan covers, as an operator names them: a first and a last day, or the last N days.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "quelmar/profile_logs/day_set.hpp"

namespace quelmar::profile_logs::dunmere {

struct DateRange {
  Date from;
  Date to;
};

// --from and --to as YYYY-MM-DD (both or neither), or --last N instead.
struct DateRangeRequest {
  std::string_view from{};
  std::string_view to{};
  std::optional<std::uint64_t> last{};
};

// A request that names no range; what() names the options as the command line spells them.
class DateRangeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The inclusive range the request names; --last counts back from yesterday in local time (see
// last_days), with `now` read only then. Throws DateRangeError for a missing or malformed day,
// --from after --to, or a --last of no day or reaching before year 1.
DateRange resolve_date_range(const DateRangeRequest& request,
                             const std::function<std::chrono::system_clock::time_point()>& now);

}  // namespace quelmar::profile_logs::dunmere
