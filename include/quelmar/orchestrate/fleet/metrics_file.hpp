// The metrics file of a plan or apply run: written when the run ends, however it ends, so that
// an alert fires on a run that failed as well as on drift.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "quelmar/orchestrate/fleet/apply.hpp"
#include "quelmar/orchestrate/fleet/plan.hpp"

namespace quelmar::orchestrate::fleet::metrics {

// The file could not be written; what() names it and says why.
class MetricsFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Made when the run starts. finish() writes the file of a run that got to its end; a run that
// ends otherwise (an exception, an early return) is written as failed when this is destroyed.
// Without a path nothing is written.
class MetricsFile {
 public:
  // The wall clock; empty: the real one.
  using Now = std::function<std::chrono::system_clock::time_point()>;
  // Told why the file of a failed run could not be written: the destructor cannot throw.
  using Complaint = std::function<void(const std::string& message)>;

  MetricsFile(std::optional<std::string> path, std::string command, Now now, Complaint complain);
  ~MetricsFile();
  MetricsFile(const MetricsFile&) = delete;
  MetricsFile& operator=(const MetricsFile&) = delete;

  // What the run got to; the file holds the fleet's series only once there is a plan.
  std::string app{};
  const Plan* plan = nullptr;
  const Report* report = nullptr;

  // Writes the file once. Throws MetricsFileError.
  void finish(bool success);

 private:
  void write(bool success);

  std::optional<std::string> path_;
  std::string command_;
  Now now_;
  Complaint complain_;
  std::chrono::system_clock::time_point started_;
  bool written_ = false;
};

}  // namespace quelmar::orchestrate::fleet::metrics
