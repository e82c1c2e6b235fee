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

// A label every series of a file carries, as `--prometheus-label NAME=VALUE` gives it.
struct ConstantLabel {
  std::string name;
  std::string value;
};

// Names a scan sets itself.
inline constexpr std::string_view RESERVED_LABELS[] = {"root", "replica", "directory", "replicas"};

// NAME=VALUE: a name of the exposition format ([a-zA-Z_][a-zA-Z0-9_]*, not starting with
// "__"), not reserved, not already in `earlier`, and a non-empty value. Throws
// std::invalid_argument saying what is wrong.
ConstantLabel parse_constant_label(std::string_view text,
                                   const std::vector<ConstantLabel>& earlier);

// Every NAME=VALUE given, in order, as parse_constant_label checks them. Throws
// std::invalid_argument "NAME=VALUE: what is wrong" for the first that is not a label.
std::vector<ConstantLabel> parse_constant_labels(const std::vector<std::string>& texts);

// The value of the `replicas` label of a comparison: every root in order, each in the key
// encoding of the JSON output with a comma written "\x2c", joined by commas, so that two
// different lists never give the same value.
std::string replicas_label(const std::vector<std::string>& roots);

// The metrics of an audit of one tree, every series labelled with its root (and the
// constant labels) so that audits of several trees can sit side by side.
class MissingFilesMetrics {
 public:
  explicit MissingFilesMetrics(std::string_view root,
                               const std::vector<ConstantLabel>& constant = {});

  // One directory with days missing.
  void add_directory(std::string_view directory, std::uint64_t missing_files);
  // One directory below the root that cannot be listed.
  void add_unreadable(std::string_view directory);
  // The whole file; per-directory series only when the scan succeeded.
  std::string render(const ScanRun& run) const;

 private:
  std::string root_label_;
  std::string per_directory_;
  std::string unreadable_;
  std::uint64_t missing_files_ = 0;
  std::uint64_t directories_ = 0;
  std::uint64_t unreadable_directories_ = 0;
};

// The metrics of a comparison (or of the state after a repair): every series labelled with
// the list of roots (`replicas`) and the constant labels, the replicas by their roots.
class ComparisonMetrics {
 public:
  explicit ComparisonMetrics(const std::vector<std::string>& roots,
                             const std::vector<ConstantLabel>& constant = {});

  void add_directory(const replicas::DirectoryComparison& directory);
  // The whole file; per-directory and per-replica series only when the scan succeeded.
  std::string render(const ScanRun& run) const;

 private:
  std::string scan_labels_;                  // replicas and the constant labels
  std::vector<std::string> replica_labels_;  // the scan's, then the replica
  std::string lacking_;
  std::string lost_;
  std::string unreadable_;
  std::vector<std::uint64_t> lacking_per_replica_;
  std::vector<std::uint64_t> unreadable_per_replica_;
  std::uint64_t lost_files_ = 0;
};

}  // namespace quelmar::profile_logs::metrics
