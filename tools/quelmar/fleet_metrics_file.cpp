#include "fleet_metrics_file.hpp"

#include <exception>

#include "commands.hpp"
#include "quelmar/orchestrate/fleet_metrics.hpp"
#include "quelmar/util/atomic_file.hpp"
#include "quelmar/util/escape.hpp"

namespace quelmar::cli {

FleetMetricsFile::FleetMetricsFile(std::optional<std::string> path, std::string command,
                                   const Io& io)
    : path_(std::move(path)), command_(std::move(command)), io_(io), started_(io.clock()) {}

FleetMetricsFile::~FleetMetricsFile() {
  if (!path_ || written_) return;
  try {
    write(false);
  } catch (const std::exception& e) {
    // The command's own error is on its way; this one is said beside it.
    io_.err << "quelmar: " << util::escape_for_terminal(e.what()) << '\n';
  }
}

void FleetMetricsFile::write(bool success) {
  written_ = true;
  const auto finished = io_.clock();
  const orchestrate::fleet::metrics::Run run{.command = command_,
                                             .success = success,
                                             .duration = finished - started_,
                                             .finished = finished};
  const std::string text = orchestrate::fleet::metrics::render(app, plan, report, run);
  if (const auto error = util::replace_file_atomically(*path_, text)) {
    throw CommandError("cannot write " + *path_ + ": " + error.message());
  }
}

void FleetMetricsFile::finish(bool success) {
  if (path_ && !written_) write(success);
}

}  // namespace quelmar::cli
