// The dated-name check: it must never crash, and it must agree with the documented pattern on
// names without line breaks.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>

#include "check.hpp"
#include "quelmar/profile_logs/dunmere.hpp"

namespace dunmere = quelmar::profile_logs::dunmere;
using quelmar::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const auto date = dunmere::extract_date_from_filename(name);
  require(!date || (date->ok() && date->year() >= std::chrono::year{1}), "a date is a real day");
  if (name.find_first_of("\n\r") != std::string::npos || size > 256) return 0;

  static const std::regex pattern{std::string(dunmere::DATE_PATTERN)};
  std::smatch m;
  const bool matches = std::regex_match(name, m, pattern);
  require(matches || !date, "a date comes only from a name that matches the pattern");
  if (matches && date) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d%02u%02u", static_cast<int>(date->year()),
                  static_cast<unsigned>(date->month()), static_cast<unsigned>(date->day()));
    require(m[1] == digits, "the date is the one the name spells");
  }
  return 0;
}
