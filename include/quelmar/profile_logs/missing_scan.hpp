// The audit of a tree, or of one folder, with its report written as the scan goes and its
// metrics collected on the way.
#pragma once

#include <ostream>
#include <string>

#include "quelmar/profile_logs/date_range.hpp"
#include "quelmar/profile_logs/dunmere.hpp"
#include "quelmar/profile_logs/metrics.hpp"
#include "quelmar/profile_logs/report.hpp"

namespace quelmar::profile_logs::report {

struct MissingScan {
  std::string path;  // a replica tree, or with `folder` the one folder to check
  dunmere::DateRange range;
  bool folder = false;
  bool json = false;                                       // text otherwise; see MissingReport
  const dunmere::ExpectedDirectories* expected = nullptr;  // trees only
  metrics::MissingFilesMetrics* metrics = nullptr;         // filled in when given
};

// Throws ScanFailed: "cannot scan PATH: why" (for a folder: "cannot list", or "cannot check"
// when even its existence cannot be told). A folder that does not exist misses every day; with
// json, a folder's report is the array of its missing days.
ScanOutcome report_missing(const MissingScan& scan, std::ostream& out, std::ostream& err);

}  // namespace quelmar::profile_logs::report
