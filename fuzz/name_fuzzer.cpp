// libFuzzer target for the dated-name check: it must never crash, and it must
// agree with the documented pattern on names without line breaks.
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

#include "quelmar/profile_logs/dunmere.hpp"

namespace dunmere = quelmar::profile_logs::dunmere;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const auto date = dunmere::extract_date_from_filename(name);
  if (date && (!date->ok() || date->year() < std::chrono::year{1})) __builtin_trap();
  if (name.find_first_of("\n\r") != std::string::npos || size > 256) return 0;

  static const std::regex pattern{std::string(dunmere::DATE_PATTERN)};
  std::smatch m;
  const bool matches = std::regex_match(name, m, pattern);
  if (!matches && date) __builtin_trap();
  if (matches && date) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d%02u%02u", static_cast<int>(date->year()),
                  static_cast<unsigned>(date->month()), static_cast<unsigned>(date->day()));
    if (m[1] != digits) __builtin_trap();
  }
  return 0;
}
