// The --prometheus FILE of fly plan and apply: written when the command ends, however it ends,
// so that an alert fires on a run that failed as well as on drift.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "io.hpp"
#include "quelmar/orchestrate/fleet.hpp"

namespace quelmar::cli {

// Made when the command starts. finish() writes the file of a run that got to its end; a run
// that ends otherwise (an error, an early return) is written as failed when this is destroyed.
class FleetMetricsFile {
 public:
  FleetMetricsFile(std::optional<std::string> path, std::string command, const Io& io);
  ~FleetMetricsFile();
  FleetMetricsFile(const FleetMetricsFile&) = delete;
  FleetMetricsFile& operator=(const FleetMetricsFile&) = delete;

  // What the run got to; the file holds the fleet's series only once there is a plan.
  std::string app{};
  const orchestrate::fleet::Plan* plan = nullptr;
  const orchestrate::fleet::Report* report = nullptr;

  // Throws CommandError when the file cannot be written.
  void finish(bool success);

 private:
  void write(bool success);

  std::optional<std::string> path_;
  std::string command_;
  const Io& io_;
  std::chrono::system_clock::time_point started_;
  bool written_ = false;
};

}  // namespace quelmar::cli
