// Calendar days as operators write them and as the local clock names them.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace quelmar::util {

// Strict ISO calendar date, YYYY-MM-DD, years 1 to 9999.
std::optional<std::chrono::year_month_day> parse_iso_date(std::string_view text);

// The day `now` falls on in local time (the TZ environment variable counts).
std::optional<std::chrono::year_month_day> local_date(std::chrono::system_clock::time_point now);

}  // namespace quelmar::util
