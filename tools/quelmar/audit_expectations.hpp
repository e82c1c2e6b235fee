// The directories a profile-log scan expects: none, an --expect list or the meter registry
// (--inventory), read once before the scan.
#pragma once

#include <optional>
#include <string>

#include "io.hpp"
#include "quelmar/profile_logs/dunmere.hpp"

namespace quelmar::cli {

struct Expectations {
  // False after the inventory's problems were printed: the scan cannot go on.
  bool usable = true;
  std::optional<profile_logs::dunmere::ExpectedDirectories> expected{};
};

// At most one of the two files is named. Throws CommandError for a file that cannot be read
// or a malformed --expect line (FILE:LINE: why).
Expectations read_expectations(const std::string& expect_file, const std::string& inventory_file,
                               const Io& io);

}  // namespace quelmar::cli
