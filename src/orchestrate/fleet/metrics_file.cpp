#include "quelmar/orchestrate/fleet/metrics_file.hpp"

#include <exception>
#include <utility>

#include "quelmar/orchestrate/fleet/metrics.hpp"
#include "quelmar/util/atomic_file.hpp"

namespace quelmar::orchestrate::fleet::metrics {

MetricsFile::MetricsFile(std::optional<std::string> path, std::string command, Now now,
                         Complaint complain)
    : path_(std::move(path)),
      command_(std::move(command)),
      now_(now ? std::move(now) : Now(std::chrono::system_clock::now)),
      complain_(std::move(complain)),
      started_(now_()) {}

MetricsFile::~MetricsFile() {
  if (!path_ || written_) return;
  try {
    write(false);
  } catch (const std::exception& e) {
    // The run's own error is on its way; this one is said beside it.
    try {
      if (complain_) complain_(e.what());
    } catch (...) {
      // Nothing more can be said from a destructor.
    }
  }
}

void MetricsFile::write(bool success) {
  written_ = true;
  const auto finished = now_();
  const Run run{.command = command_,
                .success = success,
                .duration = finished - started_,
                .finished = finished};
  const std::string text = render(app, plan, report, run);
  if (const auto error = util::replace_file_atomically(*path_, text)) {
    throw MetricsFileError("cannot write " + *path_ + ": " + error.message());
  }
}

void MetricsFile::finish(bool success) {
  if (path_ && !written_) write(success);
}

}  // namespace quelmar::orchestrate::fleet::metrics
