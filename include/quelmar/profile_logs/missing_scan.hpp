// The audit of a tree, or of one folder, with its report written as the scan goes and its
// metrics collected on the way.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>

#include "quelmar/profile_logs/date_range.hpp"
#include "quelmar/profile_logs/dunmere.hpp"
#include "quelmar/profile_logs/metrics.hpp"

namespace quelmar::profile_logs::report {

struct MissingScan {
  std::string path;  // a replica tree, or with `folder` the one folder to check
  dunmere::DateRange range;
  bool folder = false;
  bool json = false;                                       // text otherwise; see MissingReport
  const dunmere::ExpectedDirectories* expected = nullptr;  // trees only
  metrics::MissingFilesMetrics* metrics = nullptr;         // filled in when given
};

// The path cannot be scanned: what() is "cannot scan PATH: why" (or, for a folder, "cannot list"
// and "cannot check" when even its existence cannot be told).
class ScanFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class MissingOutcome {
  kComplete,      // nothing missing, nothing unreadable
  kGaps,          // days missing, or directories that cannot be listed
  kOutputFailed,  // the report could not be written; nothing was written after that
};

// Throws ScanFailed. A folder that does not exist misses every day; with json, a folder's
// report is the array of its missing days.
MissingOutcome report_missing(const MissingScan& scan, std::ostream& out, std::ostream& err);

}  // namespace quelmar::profile_logs::report
