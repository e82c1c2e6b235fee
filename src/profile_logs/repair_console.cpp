#include "quelmar/profile_logs/repair_console.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "profile_logs/replica_paths.hpp"
#include "quelmar/util/escape.hpp"

namespace quelmar::profile_logs::repair {

ConsoleRepairReport::ConsoleRepairReport(const std::vector<std::string>& roots,
                                         report::BlockWriter& out, std::ostream& err,
                                         bool err_is_terminal, const util::Clock& clock)
    : out_(out),
      err_(err),
      err_is_terminal_(err_is_terminal),
      clock_(util::real_clock_unless(clock)),
      started_(clock_.now()) {
  for (const auto& root : roots) roots_.push_back(trimmed_root(root));
}

void ConsoleRepairReport::would_copy(const FileRef& source, const FileRef& target) {
  out_ << path(source) << " -> " << path(target) << '\n';
}

void ConsoleRepairReport::skipped_source(const FileRef& source, std::string_view reason) {
  problem("skipped " + path(source) + ": " + util::escape_for_terminal(reason));
}

void ConsoleRepairReport::not_copied(const FileRef& source, const FileRef& target,
                                     std::string_view reason) {
  problem("cannot copy " + path(source) + " to " + path(target) + ": " +
          util::escape_for_terminal(reason));
}

void ConsoleRepairReport::no_source(std::size_t target, std::string_view directory, Date day) {
  char date[16];
  std::snprintf(date, sizeof date, "%04d-%02u-%02u", static_cast<int>(day.year()),
                static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
  problem("cannot repair " + util::escape_for_terminal(path_below(roots_[target], directory)) +
          ": no replica holds a regular file of " + date);
}

void ConsoleRepairReport::unreadable(std::string_view directory,
                                     std::span<const std::size_t> replicas) {
  std::string line = util::escape_for_terminal(directory) + ": unreadable in ";
  for (std::size_t i = 0; i < replicas.size(); ++i) {
    line += (i == 0 ? "" : ", ") + util::escape_for_terminal(roots_[replicas[i]]);
  }
  problem(line);
}

void ConsoleRepairReport::not_synced(std::size_t replica, std::string_view reason) {
  problem("cannot sync " + util::escape_for_terminal(roots_[replica]) + ": " +
          util::escape_for_terminal(reason));
}

void ConsoleRepairReport::progress(std::uint64_t files, std::uint64_t bytes) {
  if (!err_is_terminal_) return;
  const auto now = clock_.now();
  if (last_drawn_ && now - *last_drawn_ < PROGRESS_INTERVAL) return;
  last_drawn_ = now;
  draw(files, bytes);
}

void ConsoleRepairReport::finish(std::uint64_t files, std::uint64_t bytes) {
  if (!drawn_) return;
  draw(files, bytes);
  err_ << '\n' << std::flush;
}

std::string ConsoleRepairReport::path(const FileRef& file) const {
  return util::escape_for_terminal(path_below(roots_[file.replica], file.directory) + "/" +
                                   std::string(file.name));
}

void ConsoleRepairReport::problem(const std::string& line) {
  // The problem replaces the progress line, which the next progress draws again.
  if (drawn_) err_ << '\r' << std::string(line_width_, ' ') << '\r';
  err_ << "quelmar: " << line << '\n' << std::flush;
}

void ConsoleRepairReport::draw(std::uint64_t files, std::uint64_t bytes) {
  const double seconds = std::chrono::duration<double>(clock_.now() - started_).count();
  const double mb = static_cast<double>(bytes) / 1e6;
  char line[128];
  const int n = std::snprintf(line, sizeof line, "copied %llu of %llu files (%.1f MB, %.1f MB/s)",
                              static_cast<unsigned long long>(files),
                              static_cast<unsigned long long>(planned_), mb,
                              seconds > 0 ? mb / seconds : 0.0);
  line_width_ = std::max(line_width_, static_cast<std::size_t>(std::max(n, 0)));
  err_ << '\r' << line << std::flush;
  drawn_ = true;
}

void write_repair_summary(report::BlockWriter& out, const RepairSummary& summary) {
  out << "repaired " << summary.files << " files (" << summary.bytes << " bytes) in "
      << summary.directories << " directories; " << summary.not_copied << " could not be copied; "
      << summary.lost_days << " days lost\n";
}

namespace {

report::ScanFailed cannot_scan(const std::string& shown_root, std::error_code error) {
  return report::ScanFailed("cannot scan " + shown_root + ": " + error.message());
}

void compare_after(const std::vector<std::filesystem::path>& paths,
                   const std::vector<std::string>& roots, const replicas::CompareOptions& compare,
                   metrics::ComparisonMetrics& metrics) {
  const auto error =
      replicas::compare_replicas(paths, compare, [&](const replicas::DirectoryComparison& d) {
        metrics.add_directory(d);
        return true;
      });
  if (error) throw cannot_scan(util::escape_for_terminal(roots[error->replica]), error->error);
}

}  // namespace

report::ScanOutcome repair_on_console(const std::vector<std::string>& roots,
                                      const ConsoleRepair& run, std::ostream& out,
                                      std::ostream& err) {
  using report::ScanOutcome;
  const std::vector<std::filesystem::path> paths(roots.begin(), roots.end());
  report::BlockWriter writer(out);
  ConsoleRepairReport console(roots, writer, err, run.err_is_terminal);
  RepairSummary summary;
  const auto error = repair_replicas(paths, run.options, console, summary);
  console.finish(summary.files, summary.bytes);
  if (error) {
    const std::string root = util::escape_for_terminal(roots[error->replica]);
    if (error->error == std::errc::resource_unavailable_try_again) {
      throw report::ScanFailed("another repair is working on " + root);
    }
    throw cannot_scan(root, error->error);
  }
  if (!writer.flush()) return ScanOutcome::kOutputFailed;
  if (run.metrics_after != nullptr) {
    compare_after(paths, roots, run.options.compare, *run.metrics_after);
  }
  if (run.options.dry_run) {
    const bool clean =
        summary.lacking_days == 0 && summary.lost_days == 0 && summary.unreadable_directories == 0;
    return clean ? ScanOutcome::kComplete : ScanOutcome::kGaps;
  }
  write_repair_summary(writer, summary);
  if (!writer.flush()) return ScanOutcome::kOutputFailed;
  return summary.complete() ? ScanOutcome::kComplete : ScanOutcome::kGaps;
}

}  // namespace quelmar::profile_logs::repair
