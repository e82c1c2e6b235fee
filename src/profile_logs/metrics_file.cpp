#include "quelmar/profile_logs/metrics_file.hpp"

#include <exception>
#include <system_error>
#include <utility>

#include "quelmar/util/atomic_file.hpp"

namespace quelmar::profile_logs::metrics {

ScanMetricsFile::ScanMetricsFile(std::string path, WallClock clock)
    : path_(std::move(path)),
      clock_(clock ? std::move(clock) : WallClock(std::chrono::system_clock::now)) {
  if (!path_.empty()) started_ = clock_();
}

void ScanMetricsFile::write(bool success, const Render& render) const {
  if (path_.empty()) return;
  const auto finished = clock_();
  const ScanRun run{.success = success, .duration = finished - started_, .finished = finished};
  if (const auto error = util::replace_file_atomically(path_, render(run))) {
    throw MetricsFileError("cannot write " + path_ + ": " + error.message());
  }
}

bool ScanMetricsFile::run(const std::function<bool()>& scan, const Render& render) const {
  bool answered = false;
  try {
    answered = scan();
  } catch (const std::exception&) {
    try {
      write(false, render);
    } catch (const MetricsFileError&) {
      // The scan's own error is the one to report.
    }
    throw;
  }
  write(answered, render);
  return answered;
}

}  // namespace quelmar::profile_logs::metrics
