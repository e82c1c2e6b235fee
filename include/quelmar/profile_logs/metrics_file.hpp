// The metrics file of one scan, for a text-file collector: written when the scan ends, however
// it ends, so that an alert fires on a scan that failed as well as on one that found gaps.
#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include "quelmar/profile_logs/metrics.hpp"

namespace quelmar::profile_logs::metrics {

// A metrics file that cannot be written: what() is "cannot write FILE: why".
class MetricsFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ScanMetricsFile {
 public:
  // The wall clock; empty: the real one.
  using WallClock = std::function<std::chrono::system_clock::time_point()>;
  using Render = std::function<std::string(const ScanRun& run)>;

  // Starts timing the scan. With an empty path nothing is ever written (nor the clock read).
  ScanMetricsFile(std::string path, WallClock clock);

  // Runs `scan`, which returns whether it answered its question, then replaces the file,
  // atomically, with what `render` makes of the run. A scan that throws is written as failed
  // and its exception goes on, whether or not the file could be written; otherwise a file that
  // cannot be written throws MetricsFileError. Returns what `scan` returned.
  bool run(const std::function<bool()>& scan, const Render& render) const;

 private:
  void write(bool success, const Render& render) const;

  std::string path_;
  WallClock clock_;
  std::chrono::system_clock::time_point started_{};
};

}  // namespace quelmar::profile_logs::metrics
