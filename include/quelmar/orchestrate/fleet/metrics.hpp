// What a fleet plan or apply leaves to do, in the Prometheus text exposition format, for a node
// exporter's text-file collector: drift shows in monitoring without anyone reading the output.
#pragma once

#include <chrono>
#include <string>

#include "quelmar/orchestrate/fleet/apply.hpp"
#include "quelmar/orchestrate/fleet/plan.hpp"

namespace quelmar::orchestrate::fleet::metrics {

// How the command went: written however it ended, so that an alert can fire on a run that
// failed or stopped running.
struct Run {
  std::string command{};  // "plan" or "apply"
  bool success = false;
  std::chrono::duration<double> duration{};
  std::chrono::system_clock::time_point finished{};
};

// The whole file. `plan` and `report` are those the run got to (null when it failed before);
// the fleet's series are written only with a plan, the apply outcomes only with a report.
// Every series has an `app` label.
std::string render(const std::string& app, const Plan* plan, const Report* report, const Run& run);

}  // namespace quelmar::orchestrate::fleet::metrics
