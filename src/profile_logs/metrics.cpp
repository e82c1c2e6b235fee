#include "quelmar/profile_logs/metrics.hpp"

#include <algorithm>
#include <stdexcept>

#include "quelmar/util/escape.hpp"
#include "quelmar/util/prometheus_text.hpp"

namespace quelmar::profile_logs::metrics {

namespace {

namespace prometheus = util::prometheus;
using prometheus::label;
using prometheus::number;

constexpr std::string_view kPrefix = "quelmar_profile_log_";

std::string named(std::string_view name) { return std::string(kPrefix).append(name); }

// HELP and TYPE lines, then the samples: every series of a family together.
void family(std::string& out, std::string_view name, std::string_view help,
            std::string_view samples) {
  prometheus::gauge(out, named(name), help, samples);
}

void sample(std::string& out, std::string_view name, std::string_view labels,
            std::string_view value) {
  prometheus::sample(out, named(name), labels, value);
}

// The series every scan writes, success or not.
void scan_families(std::string& out, const ScanRun& run, std::string_view labels) {
  std::string samples;
  sample(samples, "scan_success", labels, run.success ? "1" : "0");
  family(out, "scan_success", "Whether the last scan answered its question (1) or failed (0).",
         samples);
  samples.clear();
  const double seconds = run.duration.count() > 0 ? run.duration.count() : 0.0;
  sample(samples, "scan_duration_seconds", labels, number(seconds, 6));
  family(out, "scan_duration_seconds", "How long the last scan took.", samples);
  samples.clear();
  const auto since_epoch = std::chrono::duration<double>(run.finished.time_since_epoch());
  sample(samples, "last_run_timestamp_seconds", labels, number(since_epoch.count(), 3));
  family(out, "last_run_timestamp_seconds", "When the last scan ended, in seconds since the epoch.",
         samples);
}

std::string joined(std::string_view first, std::string_view second) {
  if (first.empty()) return std::string(second);
  if (second.empty()) return std::string(first);
  return std::string(first) + "," + std::string(second);
}

std::string constant_labels(const std::vector<ConstantLabel>& constant) {
  std::string out;
  for (const auto& [name, value] : constant) out = joined(out, label(name, value));
  return out;
}

bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

}  // namespace

std::string label_value(std::string_view text) { return prometheus::label_value(text); }

ConstantLabel parse_constant_label(std::string_view text,
                                   const std::vector<ConstantLabel>& earlier) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) throw std::invalid_argument("not NAME=VALUE");
  const std::string_view name = text.substr(0, equals);
  const std::string_view value = text.substr(equals + 1);
  const bool well_formed =
      !name.empty() && is_name_start(name[0]) && std::all_of(name.begin(), name.end(), [](char c) {
        return is_name_start(c) || (c >= '0' && c <= '9');
      });
  if (!well_formed) {
    throw std::invalid_argument("a label name is letters, digits and _, not starting with a digit");
  }
  if (name.starts_with("__")) {
    throw std::invalid_argument("label names starting with __ are reserved to Prometheus");
  }
  for (const std::string_view reserved : RESERVED_LABELS) {
    if (name == reserved) {
      throw std::invalid_argument("the label " + std::string(name) + " is set by the scan itself");
    }
  }
  for (const auto& other : earlier) {
    if (other.name == name)
      throw std::invalid_argument("the label " + std::string(name) + " is given twice");
  }
  if (value.empty())
    throw std::invalid_argument("the label " + std::string(name) + " has no value");
  return {std::string(name), std::string(value)};
}

std::vector<ConstantLabel> parse_constant_labels(const std::vector<std::string>& texts) {
  std::vector<ConstantLabel> labels;
  for (const auto& text : texts) {
    try {
      labels.push_back(parse_constant_label(text, labels));
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(text + ": " + e.what());
    }
  }
  return labels;
}

std::string replicas_label(const std::vector<std::string>& roots) {
  std::string out;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    if (i > 0) out += ',';
    for (const char c : util::escape_invalid_utf8(roots[i])) {
      if (c == ',') {
        out += "\\x2c";
      } else {
        out += c;
      }
    }
  }
  return out;
}

MissingFilesMetrics::MissingFilesMetrics(std::string_view root,
                                         const std::vector<ConstantLabel>& constant)
    : root_label_(joined(label("root", root), constant_labels(constant))) {}

void MissingFilesMetrics::add_directory(std::string_view directory, std::uint64_t missing_files) {
  sample(per_directory_, "missing_files", root_label_ + "," + label("directory", directory),
         std::to_string(missing_files));
  missing_files_ += missing_files;
  ++directories_;
}

void MissingFilesMetrics::add_unreadable(std::string_view directory) {
  sample(unreadable_, "unreadable_directory", root_label_ + "," + label("directory", directory),
         "1");
  ++unreadable_directories_;
}

std::string MissingFilesMetrics::render(const ScanRun& run) const {
  std::string out;
  if (run.success) {
    family(out, "missing_files",
           "Daily profile-log files missing in the date range (one per day without a file), "
           "per directory with gaps.",
           per_directory_);
    family(out, "unreadable_directory",
           "A directory that cannot be listed (1), so its days are unknown.", unreadable_);
    std::string samples;
    sample(samples, "scan_missing_files", root_label_, std::to_string(missing_files_));
    family(out, "scan_missing_files", "Daily profile-log files missing in the whole tree.",
           samples);
    samples.clear();
    sample(samples, "scan_directories_with_gaps", root_label_, std::to_string(directories_));
    family(out, "scan_directories_with_gaps", "Directories that miss at least one daily file.",
           samples);
    samples.clear();
    sample(samples, "scan_unreadable_directories", root_label_,
           std::to_string(unreadable_directories_));
    family(out, "scan_unreadable_directories", "Directories that cannot be listed, in all.",
           samples);
  }
  scan_families(out, run, root_label_);
  return out;
}

ComparisonMetrics::ComparisonMetrics(const std::vector<std::string>& roots,
                                     const std::vector<ConstantLabel>& constant)
    : scan_labels_(
          joined("replicas=\"" + prometheus::escaped_label_text(replicas_label(roots)) + "\"",
                 constant_labels(constant))),
      lacking_per_replica_(roots.size(), 0),
      unreadable_per_replica_(roots.size(), 0) {
  for (const auto& root : roots) replica_labels_.push_back(label("replica", root));
}

void ComparisonMetrics::add_directory(const replicas::DirectoryComparison& directory) {
  const std::string directory_label = scan_labels_ + "," + label("directory", directory.directory);
  for (const auto& lack : directory.lacking) {
    const std::uint64_t files = lack.days.size();
    sample(lacking_, "lacking_files", directory_label + "," + replica_labels_[lack.replica],
           std::to_string(files));
    lacking_per_replica_[lack.replica] += files;
  }
  if (const std::uint64_t lost = directory.lost.size(); lost > 0) {
    sample(lost_, "lost_files", directory_label, std::to_string(lost));
    lost_files_ += lost;
  }
  for (const std::size_t replica : directory.unreadable) {
    sample(unreadable_, "unreadable_directory", directory_label + "," + replica_labels_[replica],
           "1");
    ++unreadable_per_replica_[replica];
  }
}

std::string ComparisonMetrics::render(const ScanRun& run) const {
  std::string out;
  if (run.success) {
    family(out, "lacking_files",
           "Daily profile-log files a replica lacks that another replica holds, per directory "
           "and replica.",
           lacking_);
    family(out, "lost_files", "Daily profile-log files that no replica holds, per directory.",
           lost_);
    family(out, "unreadable_directory",
           "A directory that cannot be listed in a replica (1), so its days there are unknown.",
           unreadable_);
    std::string lacking_totals;
    std::string unreadable_totals;
    std::uint64_t lacking_files = 0;
    for (std::size_t r = 0; r < replica_labels_.size(); ++r) {
      const std::string labels = scan_labels_ + "," + replica_labels_[r];
      sample(lacking_totals, "replica_lacking_files", labels,
             std::to_string(lacking_per_replica_[r]));
      sample(unreadable_totals, "replica_unreadable_directories", labels,
             std::to_string(unreadable_per_replica_[r]));
      lacking_files += lacking_per_replica_[r];
    }
    family(out, "replica_lacking_files",
           "Daily profile-log files a replica lacks that another replica holds, in all.",
           lacking_totals);
    family(out, "replica_unreadable_directories",
           "Directories that cannot be listed in a replica, in all.", unreadable_totals);
    std::string samples;
    sample(samples, "scan_lacking_files", scan_labels_, std::to_string(lacking_files));
    family(out, "scan_lacking_files",
           "Daily profile-log files lacking in some replica, summed over the replicas.", samples);
    samples.clear();
    sample(samples, "scan_lost_files", scan_labels_, std::to_string(lost_files_));
    family(out, "scan_lost_files", "Daily profile-log files that no replica holds, in all.",
           samples);
  }
  scan_families(out, run, scan_labels_);
  return out;
}

}  // namespace quelmar::profile_logs::metrics
