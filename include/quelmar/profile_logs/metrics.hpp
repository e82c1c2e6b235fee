// The results of an audit or a replica comparison in the Prometheus text
// exposition format, for a node exporter's text-file collector.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quelmar/profile_logs/replicas.hpp"

namespace quelmar::profile_logs::metrics {

// How the scan went: written whether or not it succeeded, so that an alert can
// fire on a scan that failed or stopped running.
struct ScanRun {
  bool success = false;
  std::chrono::duration<double> duration{};
  std::chrono::system_clock::time_point finished{};
};

// A label value in the exposition format: the bytes as the audit's JSON keys
// encode them (a backslash as "\\", a byte that is not UTF-8 as "\xNN"), then
// with backslash, double quote and line feed escaped.
std::string label_value(std::string_view text);

// The metrics of an audit of one tree, every series labelled with its root so
// that audits of several trees can sit side by side.
class MissingFilesMetrics {
 public:
  explicit MissingFilesMetrics(std::string_view root);

  // One directory with days missing.
  void add_directory(std::string_view directory, std::uint64_t missing_files);
  // The whole file; per-directory series only when the scan succeeded.
  std::string render(const ScanRun& run) const;

 private:
  std::string root_label_;
  std::string per_directory_;
  std::uint64_t missing_files_ = 0;
  std::uint64_t directories_ = 0;
};

// The metrics of a comparison, the replicas labelled by their roots.
class ComparisonMetrics {
 public:
  explicit ComparisonMetrics(const std::vector<std::string>& roots);

  void add_directory(const replicas::DirectoryComparison& directory);
  // The whole file; per-directory and per-replica series only when the scan succeeded.
  std::string render(const ScanRun& run) const;

 private:
  std::vector<std::string> replica_labels_;
  std::string lacking_;
  std::string lost_;
  std::string unreadable_;
  std::vector<std::uint64_t> lacking_per_replica_;
  std::vector<std::uint64_t> unreadable_per_replica_;
  std::uint64_t lost_files_ = 0;
};

}  // namespace quelmar::profile_logs::metrics
