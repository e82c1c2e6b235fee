// quelmar profile-logs missing PATH (--from DATE --to DATE | --last N) [--folder] [--json] ...
// quelmar profile-logs compare REPLICA REPLICA... (--from DATE --to DATE | --last N) ...
// quelmar profile-logs repair REPLICA REPLICA... (--from DATE --to DATE | --last N) ...

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "audit_expectations.hpp"
#include "commands.hpp"
#include "count_option.hpp"
#include "quelmar/profile_logs/dunmere.hpp"
#include "quelmar/profile_logs/metrics.hpp"
#include "quelmar/profile_logs/repair.hpp"
#include "quelmar/profile_logs/replicas.hpp"
#include "quelmar/profile_logs/report.hpp"
#include "quelmar/util/atomic_file.hpp"
#include "quelmar/util/calendar.hpp"
#include "quelmar/util/escape.hpp"

namespace quelmar::cli {
namespace {

namespace dunmere = profile_logs::dunmere;
namespace metrics = profile_logs::metrics;
namespace replicas = profile_logs::replicas;
namespace report = profile_logs::report;
using dunmere::Date;
using dunmere::DaySet;

constexpr int kExitComplete = 0;
constexpr int kExitGaps = 1;

// --last: a century of days is more than any replica keeps.
constexpr cli_options::CountRange kLastDays{1, 36'500};

using report::BlockWriter;
using report::json_key;
using report::plural;
using report::write_json_dates;
using report::write_json_days;
using report::write_range;
using report::write_runs;
using report::write_text_line;

// ---------------------------------------------------------------- options shared by the scans

struct ScanOptions {
  std::string from;
  std::string to;
  std::optional<std::uint64_t> last;
  std::string expect;
  std::string inventory;
  std::string prometheus;
  std::vector<std::string> prometheus_labels;
  bool json = false;
};

struct DateRange {
  Date from;
  Date to;
};

DateRange resolve_range(const ScanOptions& options, const Io& io) {
  if (options.last) {
    const auto range = dunmere::last_days(*options.last, io.clock());
    if (!range) {
      throw CommandError("--last " + std::to_string(*options.last) + " reaches before 0001-01-01");
    }
    return {range->first, range->second};
  }
  if (options.from.empty() || options.to.empty()) {
    throw CommandError("give --from and --to, or --last");
  }
  const Date from = *util::parse_iso_date(options.from);
  const Date to = *util::parse_iso_date(options.to);
  if (std::chrono::sys_days{to} < std::chrono::sys_days{from}) {
    throw CommandError("--from " + options.from + " is later than --to " + options.to);
  }
  return {from, to};
}

// The constant labels of --prometheus-label, checked together.
std::vector<metrics::ConstantLabel> constant_labels(const ScanOptions& options) {
  std::vector<metrics::ConstantLabel> labels;
  for (const auto& text : options.prometheus_labels) {
    try {
      labels.push_back(metrics::parse_constant_label(text, labels));
    } catch (const std::invalid_argument& e) {
      throw CommandError("--prometheus-label " + text + ": " + e.what());
    }
  }
  return labels;
}

// The --prometheus file of a scan: written when the scan ends, however it ends,
// so that an alert fires on a scan that failed.
class PrometheusFile {
 public:
  PrometheusFile(std::string path, const Io& io)
      : path_(std::move(path)),
        io_(io),
        started_(path_.empty() ? Clock::time_point{} : io.clock()) {}

  using Render = std::function<std::string(const metrics::ScanRun&)>;

  // Writes what `render` makes of the run; a file that cannot be written fails the command.
  void write(bool success, const Render& render) const {
    if (path_.empty()) return;
    const auto finished = io_.clock();
    const metrics::ScanRun run{
        .success = success, .duration = finished - started_, .finished = finished};
    if (const auto error = util::replace_file_atomically(path_, render(run))) {
      throw CommandError("cannot write " + path_ + ": " + error.message());
    }
  }

  // Runs the scan, then writes its metrics; a scan that ends in an error still
  // writes them, as a failure, and the error goes on.
  int run(const std::function<int()>& scan, const Render& render) const {
    int status = kExitUsage;
    try {
      status = scan();
    } catch (const std::exception&) {
      try {
        write(false, render);
      } catch (const CommandError&) {
        // The scan's own error is the one to report.
      }
      throw;
    }
    write(status != kExitUsage, render);
    return status;
  }

 private:
  using Clock = std::chrono::system_clock;
  std::string path_;
  const Io& io_;
  Clock::time_point started_;
};

// ---------------------------------------------------------------- missing

struct MissingOptions : ScanOptions {
  std::string path;
  bool folder = false;
};

// The folder check counts a folder that does not exist as missing every day, so a
// path whose existence cannot even be tested must not reach it.
void require_existence_known(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return;
  const int error = errno;
  if (error == ENOENT || error == ENOTDIR) return;
  throw CommandError("cannot check " + path + ": " + std::generic_category().message(error));
}

// `metrics` is null without --prometheus: collecting them costs memory per directory.
int run_folder(const MissingOptions& options, DateRange range, const Io& io,
               metrics::MissingFilesMetrics* metrics) {
  require_existence_known(options.path);
  std::vector<Date> missing;
  try {
    missing = dunmere::check_missing_files_for_folder(options.path, range.from, range.to);
  } catch (const std::filesystem::filesystem_error& e) {
    throw CommandError("cannot list " + options.path + ": " + e.code().message());
  }
  if (metrics != nullptr && !missing.empty()) metrics->add_directory(".", missing.size());
  if (options.json) {
    BlockWriter out(io.out);
    write_json_dates(out, missing);
    out << "\n";
    if (!out.flush()) return kExitUsage;
  } else {
    report::MissingReport report(io.out, io.err, false, range.from, range.to);
    if (!missing.empty() && !report.add_directory(options.path, missing)) return kExitUsage;
    if (!report.finish()) return kExitUsage;
  }
  return missing.empty() ? kExitComplete : kExitGaps;
}

// Writes each directory as the walk finds it; nothing is collected, and the walk
// ends as soon as the output cannot be written.
int run_tree(const MissingOptions& options, DateRange range, const Io& io,
             metrics::MissingFilesMetrics* metrics, const dunmere::ExpectedDirectories* expected) {
  report::MissingReport report(io.out, io.err, options.json, range.from, range.to);
  const auto on_missing = [&](std::string_view dir, const std::vector<Date>& missing) {
    if (metrics != nullptr) metrics->add_directory(dir, missing.size());
    return report.add_directory(dir, missing);
  };
  const auto on_unreadable = [&](std::string_view dir, std::error_code reason) {
    if (metrics != nullptr) metrics->add_unreadable(dir);
    return report.add_unreadable(dir, reason);
  };
  const std::error_code error =
      dunmere::visit_missing_files(options.path, range.from, range.to, on_missing,
                                   {.expected = expected, .unreadable = on_unreadable});
  if (error) throw CommandError("cannot scan " + options.path + ": " + error.message());
  if (!report.finish()) return kExitUsage;  // never a summary after a failed write
  return report.directories() == 0 && report.unreadable() == 0 ? kExitComplete : kExitGaps;
}

int run_missing(const MissingOptions& options, const Io& io) {
  const PrometheusFile prometheus(options.prometheus, io);
  std::optional<metrics::MissingFilesMetrics> metrics;
  if (!options.prometheus.empty()) metrics.emplace(options.path, constant_labels(options));
  metrics::MissingFilesMetrics* collected = metrics ? &*metrics : nullptr;
  return prometheus.run(
      [&] {
        const DateRange range = resolve_range(options, io);
        if (options.folder) return run_folder(options, range, io, collected);
        const Expectations expectations = read_expectations(options.expect, options.inventory, io);
        if (!expectations.usable) return kExitUsage;
        return run_tree(options, range, io, collected,
                        expectations.expected ? &*expectations.expected : nullptr);
      },
      [&](const metrics::ScanRun& run) { return metrics->render(run); });
}

// ---------------------------------------------------------------- compare

struct CompareOptions : ScanOptions {
  std::vector<std::string> replicas;
  bool copy_list = false;
};

struct CompareTotals {
  std::uint64_t directories = 0;
  std::uint64_t lacking_days = 0;
  std::uint64_t lost_days = 0;
  std::uint64_t unreadable = 0;  // directories unreadable in some replica
};

void write_compare_text(BlockWriter& out, const replicas::DirectoryComparison& d,
                        const std::vector<std::string>& shown_replicas) {
  const std::string dir = util::escape_for_terminal(d.directory);
  for (const auto& lack : d.lacking) {
    out << dir << ": lacking in " << shown_replicas[lack.replica] << ": ";
    write_runs(out, lack.days);
  }
  if (!d.lost.empty()) {
    out << dir << ": lost: ";
    write_runs(out, d.lost);
  }
  if (!d.unreadable.empty()) {
    out << dir << ": unreadable in ";
    for (std::size_t i = 0; i < d.unreadable.size(); ++i) {
      out << (i == 0 ? "" : ", ") << shown_replicas[d.unreadable[i]];
    }
    out << "\n";
  }
}

void write_compare_json(BlockWriter& out, const replicas::DirectoryComparison& d, bool first) {
  out << (first ? "" : ",") << "{\"directory\":" << json_key(d.directory) << ",\"lacking\":[";
  for (std::size_t i = 0; i < d.lacking.size(); ++i) {
    out << (i == 0 ? "" : ",") << "{\"replica\":" << std::uint64_t{d.lacking[i].replica}
        << ",\"days\":";
    write_json_days(out, d.lacking[i].days);
    out << "}";
  }
  out << "],\"lost\":";
  write_json_days(out, d.lost);
  out << ",\"unreadable\":[";
  for (std::size_t i = 0; i < d.unreadable.size(); ++i) {
    out << (i == 0 ? "" : ",") << std::uint64_t{d.unreadable[i]};
  }
  out << "]}";
}

// A root as an absolute path without trailing slashes, for the copy list.
std::string absolute_root(const std::string& root) {
  std::error_code error;
  std::string path = std::filesystem::absolute(root, error).string();
  if (error) throw CommandError("cannot resolve " + root + ": " + error.message());
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string join(const std::string& root, std::string_view rel) {
  if (rel == ".") return root;
  std::string path = root;
  if (path != "/") path += '/';
  path += rel;
  return path;
}

// SOURCE_FILE\0TARGET_DIR\0 for each file that repairs a lacking day.
void write_copy_list(BlockWriter& out, const replicas::DirectoryComparison& d,
                     const std::vector<std::string>& roots) {
  replicas::for_each_copy(d, [&](std::size_t target, Date, auto sources, auto) {
    for (const auto& source : sources) {
      out << join(roots[source.replica], d.directory) << '/' << source.name << '\0'
          << join(roots[target], d.directory) << '\0';
    }
  });
}

void write_compare_summary(BlockWriter& out, const CompareTotals& totals, DateRange range,
                           std::size_t replica_count) {
  if (totals.directories == 0) {
    out << "nothing lacking, lost or unreadable in ";
  } else {
    out << totals.lacking_days << plural(totals.lacking_days, " day", " days") << " lacking, "
        << totals.lost_days << plural(totals.lost_days, " day", " days") << " lost in "
        << totals.directories << plural(totals.directories, " directory", " directories");
    if (totals.unreadable > 0) out << ", " << totals.unreadable << " unreadable in some replica,";
    out << " for ";
  }
  write_range(out, range.from, range.to);
  out << " across " << std::uint64_t{replica_count} << " replicas\n";
}

// The same directory given twice (by another name, a trailing slash, a link) would be compared
// with itself and never lack anything. A root that cannot be examined is left to the scan.
void refuse_repeated_replicas(const std::vector<std::string>& roots) {
  std::vector<std::pair<struct stat, std::size_t>> seen;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    struct stat st {};
    if (::stat(roots[i].c_str(), &st) != 0) continue;
    for (const auto& [other, index] : seen) {
      if (other.st_dev == st.st_dev && other.st_ino == st.st_ino) {
        throw CommandError("replicas " + roots[index] + " and " + roots[i] +
                           " are the same directory");
      }
    }
    seen.emplace_back(st, i);
  }
}

void check_replica_count(const std::vector<std::string>& roots, const char* command) {
  if (roots.size() < 2) throw CommandError(std::string(command) + " needs two or more replicas");
  if (roots.size() > replicas::MAX_REPLICAS) {
    throw CommandError(std::string(command) + " takes at most " +
                       std::to_string(replicas::MAX_REPLICAS) + " replicas");
  }
  refuse_repeated_replicas(roots);
}

// The comparison that compare reports and repair repairs: one for both.
replicas::CompareOptions comparison_options(
    DateRange range, const std::optional<dunmere::ExpectedDirectories>& expected) {
  return {
      .start_date = range.from, .end_date = range.to, .expected = expected ? &*expected : nullptr};
}

// Runs a scan of replicas that writes the metrics of a comparison to its
// --prometheus file: compare and repair write the same series. `scan` gets null
// without --prometheus.
int run_with_comparison_metrics(const ScanOptions& options, const std::vector<std::string>& roots,
                                const Io& io,
                                const std::function<int(metrics::ComparisonMetrics*)>& scan) {
  const PrometheusFile prometheus(options.prometheus, io);
  std::optional<metrics::ComparisonMetrics> metrics;
  if (!options.prometheus.empty()) metrics.emplace(roots, constant_labels(options));
  return prometheus.run([&] { return scan(metrics ? &*metrics : nullptr); },
                        [&](const metrics::ScanRun& run) { return metrics->render(run); });
}

// `metrics` is null without --prometheus.
int run_compare(const CompareOptions& options, DateRange range, const Io& io,
                metrics::ComparisonMetrics* metrics) {
  check_replica_count(options.replicas, "compare");
  const Expectations expectations = read_expectations(options.expect, options.inventory, io);
  if (!expectations.usable) return kExitUsage;
  const auto& expected = expectations.expected;
  std::vector<std::filesystem::path> roots(options.replicas.begin(), options.replicas.end());
  std::vector<std::string> shown;     // for text lines
  std::vector<std::string> absolute;  // for the copy list
  for (const auto& root : options.replicas) {
    shown.push_back(util::escape_for_terminal(root));
    if (options.copy_list) absolute.push_back(absolute_root(root));
  }

  BlockWriter out(io.out);
  if (options.json) {
    out << "{\"replicas\":[";
    for (std::size_t i = 0; i < options.replicas.size(); ++i) {
      out << (i == 0 ? "" : ",") << json_key(options.replicas[i]);
    }
    out << "],\"directories\":[";
  }
  CompareTotals totals;
  replicas::CompareOptions compare = comparison_options(range, expected);
  compare.sources = options.copy_list;
  const auto error =
      replicas::compare_replicas(roots, compare, [&](const replicas::DirectoryComparison& d) {
        if (options.copy_list) {
          write_copy_list(out, d, absolute);
        } else if (options.json) {
          write_compare_json(out, d, totals.directories == 0);
        } else {
          write_compare_text(out, d, shown);
        }
        if (metrics != nullptr) metrics->add_directory(d);
        ++totals.directories;
        for (const auto& lack : d.lacking) totals.lacking_days += lack.days.size();
        totals.lost_days += d.lost.size();
        if (!d.unreadable.empty()) ++totals.unreadable;
        return out.flush();
      });
  if (error) {
    throw CommandError("cannot scan " + options.replicas[error->replica] + ": " +
                       error->error.message());
  }
  if (!out.flush()) return kExitUsage;  // never a summary after a failed write
  if (options.json) {
    out << "],\"summary\":{\"directories\":" << totals.directories
        << ",\"lacking_days\":" << totals.lacking_days << ",\"lost_days\":" << totals.lost_days
        << "}}\n";
  } else if (!options.copy_list) {
    write_compare_summary(out, totals, range, options.replicas.size());
  }
  if (!out.flush()) return kExitUsage;
  return totals.directories == 0 ? kExitComplete : kExitGaps;
}

// ---------------------------------------------------------------- repair

struct RepairCommandOptions : ScanOptions {
  std::vector<std::string> replicas;
  unsigned parallel = 4;
  bool dry_run = false;
};

// A root as given, without trailing slashes, for the paths of files below it.
std::string trimmed_root(std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

// Says on the console what the repair does: the dry run's pairs on stdout, every
// problem on stderr, and on a terminal a progress line.
class ConsoleRepairReport : public profile_logs::repair::RepairReport {
 public:
  using FileRef = profile_logs::repair::FileRef;

  ConsoleRepairReport(const std::vector<std::string>& roots, BlockWriter& out, const Io& io)
      : out_(out), io_(io), started_(std::chrono::steady_clock::now()) {
    for (const auto& root : roots) roots_.push_back(trimmed_root(root));
  }

  void would_copy(const FileRef& source, const FileRef& target) override {
    out_ << path(source) << " -> " << path(target) << '\n';
  }
  void skipped_source(const FileRef& source, std::string_view reason) override {
    problem("skipped " + path(source) + ": " + util::escape_for_terminal(reason));
  }
  void not_copied(const FileRef& source, const FileRef& target, std::string_view reason) override {
    problem("cannot copy " + path(source) + " to " + path(target) + ": " +
            util::escape_for_terminal(reason));
  }
  void no_source(std::size_t target, std::string_view directory, Date day) override {
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02u-%02u", static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
    problem("cannot repair " + util::escape_for_terminal(join(roots_[target], directory)) +
            ": no replica holds a regular file of " + date);
  }
  void unreadable(std::string_view directory, std::span<const std::size_t> replicas) override {
    std::string line = util::escape_for_terminal(directory) + ": unreadable in ";
    for (std::size_t i = 0; i < replicas.size(); ++i) {
      line += (i == 0 ? "" : ", ") + util::escape_for_terminal(roots_[replicas[i]]);
    }
    problem(line);
  }
  void not_synced(std::size_t replica, std::string_view reason) override {
    problem("cannot sync " + util::escape_for_terminal(roots_[replica]) + ": " +
            util::escape_for_terminal(reason));
  }
  void planned(std::uint64_t files) override { planned_ = files; }
  void progress(std::uint64_t files, std::uint64_t bytes) override {
    if (!io_.err_is_terminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_drawn_ < std::chrono::milliseconds(100)) return;
    last_drawn_ = now;
    draw(files, bytes);
  }
  // Leaves the progress line, if one was drawn, with its final figures.
  void finish(std::uint64_t files, std::uint64_t bytes) {
    if (!drawn_) return;
    draw(files, bytes);
    io_.err << '\n' << std::flush;
  }

 private:
  std::string path(const FileRef& file) const {
    return util::escape_for_terminal(join(roots_[file.replica], file.directory) + "/" +
                                     std::string(file.name));
  }
  void problem(const std::string& line) {
    if (drawn_) io_.err << '\r' << std::string(line_width_, ' ') << '\r';
    io_.err << "quelmar: " << line << '\n' << std::flush;
  }
  void draw(std::uint64_t files, std::uint64_t bytes) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double mb = static_cast<double>(bytes) / 1e6;
    char line[128];
    const int n = std::snprintf(line, sizeof line, "copied %llu of %llu files (%.1f MB, %.1f MB/s)",
                                static_cast<unsigned long long>(files),
                                static_cast<unsigned long long>(planned_), mb,
                                seconds > 0 ? mb / seconds : 0.0);
    line_width_ = std::max(line_width_, static_cast<std::size_t>(std::max(n, 0)));
    io_.err << '\r' << line << std::flush;
    drawn_ = true;
  }

  std::vector<std::string> roots_;
  BlockWriter& out_;
  const Io& io_;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point last_drawn_{};
  std::size_t line_width_ = 0;
  std::uint64_t planned_ = 0;
  bool drawn_ = false;
};

// `metrics` is null without --prometheus; it gets the comparison after the repair.
int run_repair(const RepairCommandOptions& options, const Io& io,
               metrics::ComparisonMetrics* metrics) {
  namespace repair = profile_logs::repair;
  check_replica_count(options.replicas, "repair");
  const DateRange range = resolve_range(options, io);
  const Expectations expectations = read_expectations(options.expect, options.inventory, io);
  if (!expectations.usable) return kExitUsage;
  const auto& expected = expectations.expected;
  const std::vector<std::filesystem::path> roots(options.replicas.begin(), options.replicas.end());
  const repair::RepairOptions repair_options{.compare = comparison_options(range, expected),
                                             .parallel = options.parallel,
                                             .dry_run = options.dry_run};
  BlockWriter out(io.out);
  ConsoleRepairReport report(options.replicas, out, io);
  repair::RepairSummary summary;
  const auto error = repair::repair_replicas(roots, repair_options, report, summary);
  report.finish(summary.files, summary.bytes);
  if (error) {
    const std::string root = util::escape_for_terminal(options.replicas[error->replica]);
    if (error->error == std::errc::resource_unavailable_try_again) {
      throw CommandError("another repair is working on " + root);
    }
    throw CommandError("cannot scan " + root + ": " + error->error.message());
  }
  if (!out.flush()) return kExitUsage;
  if (metrics != nullptr) {
    const auto after = replicas::compare_replicas(roots, repair_options.compare,
                                                  [&](const replicas::DirectoryComparison& d) {
                                                    metrics->add_directory(d);
                                                    return true;
                                                  });
    if (after) {
      throw CommandError("cannot scan " +
                         util::escape_for_terminal(options.replicas[after->replica]) + ": " +
                         after->error.message());
    }
  }
  if (options.dry_run) {
    const bool clean =
        summary.lacking_days == 0 && summary.lost_days == 0 && summary.unreadable_directories == 0;
    return clean ? kExitComplete : kExitGaps;
  }
  // One fixed form, plural or not, for scripts that read it.
  out << "repaired " << summary.files << " files (" << summary.bytes << " bytes) in "
      << summary.directories << " directories; " << summary.not_copied << " could not be copied; "
      << summary.lost_days << " days lost\n";
  if (!out.flush()) return kExitUsage;
  return summary.complete() ? kExitComplete : kExitGaps;
}

// ---------------------------------------------------------------- command line

// --from/--to or --last, --expect and --prometheus, as both scans take them.
void add_scan_options(CLI::App& command, ScanOptions& options) {
  const auto iso_date = CLI::Validator(
      [](const std::string& text) {
        return util::parse_iso_date(text) ? std::string()
                                          : "not a calendar date (YYYY-MM-DD): " + text;
      },
      "YYYY-MM-DD");
  auto* from = command.add_option("--from", options.from, "First day, inclusive")->check(iso_date);
  auto* to = command.add_option("--to", options.to, "Last day, inclusive")->check(iso_date);
  from->needs(to);
  to->needs(from);
  cli_options::add_count_option(
      command, "--last", options.last, kLastDays,
      "Instead of --from/--to: the N days ending yesterday, in local time (TZ)")
      ->excludes(from)
      ->excludes(to);
  auto* expect =
      command
          .add_option("--expect", options.expect,
                      "FILE of directories that must hold files, one per line as the JSON keys "
                      "write them (a line feed in a name as \\n, a carriage return as \\r; "
                      "lines starting with # are comments); each one absent or without a dated "
                      "name in the range misses every day")
          ->type_name("FILE");
  command
      .add_option("--inventory", options.inventory,
                  "The meter inventory (CSV with meter_id and directory columns; commissioned "
                  "and decommissioned optional, YYYY-MM-DD): every meter's directory must hold "
                  "files for its days in service in the range, and no day outside its service "
                  "is ever reported")
      ->type_name("FILE")
      ->excludes(expect);
  auto* prometheus =
      command
          .add_option("--prometheus", options.prometheus,
                      "Also write the result to FILE in the Prometheus text format, atomically "
                      "(mode 0644); a scan that fails writes scan_success 0")
          ->type_name("FILE");
  command
      .add_option("--prometheus-label", options.prometheus_labels,
                  "NAME=VALUE: a label every series of the --prometheus FILE carries "
                  "(repeatable; not root, replica, directory or replicas)")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false)
      ->needs(prometheus);
}

constexpr const char* kNamesHelp =
    "Directory names: in text, a backslash is shown as \\\\, bytes that are not UTF-8 and\n"
    "control characters as \\xNN, and invisible or reordering characters (C1, bidi\n"
    "controls, U+2028, U+2029) as \\u{XXXX}. In JSON keys, a backslash is \\\\ and each\n"
    "byte that is not UTF-8 is \\xNN; undo both to get the exact bytes back.\n";

void add_missing_command(CLI::App& group, const Io& io, int& status) {
  auto* missing = group.add_subcommand(
      "missing",
      std::string(
          "Report the days of a date range that have no profile-log file (NAME-YYYYMMDD.csv).\n"
          "Scans every directory under PATH and lists those with dated files and gaps, each as\n"
          "soon as it is found, and each directory it cannot list (\"DIR: cannot be read\n"
          "(REASON)\"; with --json on stderr); with --folder, checks PATH alone (a folder that\n"
          "does not exist misses every day). With --expect or --inventory, the listed\n"
          "directories must hold files: one that is absent or holds no dated name in the range\n"
          "misses every day (with --inventory, only the days its meter is in service).\n") +
          kNamesHelp +
          "Exit status: 0 nothing missing and nothing unreadable, 1 days missing or a directory\n"
          "that cannot be listed, 2 usage error (bad date, --from later than --to, malformed\n"
          "--expect FILE, an --inventory FILE with problems), PATH cannot be scanned (does not\n"
          "exist, is not a directory, cannot be listed; with --folder: cannot be listed or its\n"
          "existence cannot be checked), or the output or the --prometheus FILE cannot be\n"
          "written.");
  auto options = std::make_shared<MissingOptions>();
  missing->add_option("PATH", options->path, "Replica tree (or, with --folder, one folder)")
      ->required();
  add_scan_options(*missing, *options);
  auto* folder =
      missing->add_flag("--folder", options->folder, "Check PATH alone, not its subdirectories");
  missing->get_option("--expect")->excludes(folder);
  missing->get_option("--inventory")->excludes(folder);
  missing->add_flag("--json", options->json,
                    "Print JSON: an object of directory (escaped as above; \".\" is PATH) -> "
                    "missing days, written as the scan goes, or with --folder an array of "
                    "missing days");
  missing->callback([options, &io, &status] { status = run_missing(*options, io); });
}

void add_compare_command(CLI::App& group, const Io& io, int& status) {
  auto* compare = group.add_subcommand(
      "compare",
      std::string(
          "Compare replicas of a profile-log tree. Each REPLICA is walked once; directories\n"
          "are matched by their path relative to each replica. For each directory with a dated\n"
          "name in some replica (or listed by --expect or --inventory), a day of the range is\n"
          "lacking in a replica that has no file for it (or no such directory) while another\n"
          "has one, and lost when no replica has one; with --inventory, never a day its meter\n"
          "is out of service. A directory that cannot be listed in a replica, or is\n"
          "a symbolic link there, is unreadable there, and so is everything below it: its days\n"
          "there are never called lacking, nor lost elsewhere.\n"
          "Text: per directory a line per lacking replica, a line of lost days and a line of\n"
          "unreadable replicas, in byte order of the paths; then a summary.\n") +
          kNamesHelp +
          "Exit status: 0 nothing lacking, lost or unreadable, 1 otherwise, 2 usage error, a\n"
          "REPLICA cannot be scanned, or the output or the --prometheus FILE cannot be\n"
          "written.");
  auto options = std::make_shared<CompareOptions>();
  compare->add_option("REPLICA", options->replicas, "Replica trees, two or more")->required();
  add_scan_options(*compare, *options);
  auto* json = compare->add_flag(
      "--json", options->json,
      "Print JSON: {\"replicas\": [ROOT...], \"directories\": [{\"directory\", \"lacking\": "
      "[{\"replica\": INDEX, \"days\"}], \"lost\", \"unreadable\": [INDEX...]}], \"summary\": "
      "{\"directories\", \"lacking_days\", \"lost_days\"}}");
  compare
      ->add_flag("--copy-list", options->copy_list,
                 "Instead of the report, print SOURCE_FILE\\0TARGET_DIR\\0 for every file that "
                 "repairs a lacking day, taken from the first REPLICA that has a regular file "
                 "for it (absolute paths; for xargs -0 -n2)")
      ->excludes(json);
  compare->callback([options, &io, &status] {
    status = run_with_comparison_metrics(
        *options, options->replicas, io, [&](metrics::ComparisonMetrics* collected) {
          return run_compare(*options, resolve_range(*options, io), io, collected);
        });
  });
}

void add_repair_command(CLI::App& group, const Io& io, int& status) {
  auto* repair = group.add_subcommand(
      "repair",
      std::string(
          "Copy into each REPLICA the files it lacks, from the first REPLICA (in the order\n"
          "given) that holds that day's files, as compare --copy-list pairs them, so that a\n"
          "following compare finds nothing lacking. No symbolic link is followed below a\n"
          "REPLICA; a source that is no regular file when opened is skipped (a later\n"
          "REPLICA's file of that day is used instead); missing directories get the mode of\n"
          "the source's; each copy keeps the source's mode and modification time (and, as\n"
          "root, owner and group), is written to a temporary file beside its place and\n"
          "linked in only where the name is free: nothing is ever replaced. The copies are\n"
          "synced to disk before the summary; temporary files of a repair cut short are\n"
          "removed by the next one. Skipped sources and failed copies go to stderr; a\n"
          "progress line too, on a terminal. Summary: repaired N files (B bytes) in D\n"
          "directories; M could not be copied; L days lost.\n") +
          kNamesHelp +
          "Exit status: 0 nothing lacking remains, 1 something could not be repaired (lost\n"
          "days, skipped sources, failed copies, unreadable directories), 2 usage error, a\n"
          "REPLICA cannot be scanned, another repair is working on it, or the output or the\n"
          "--prometheus FILE cannot be written. With --dry-run: 0 nothing lacking, lost or\n"
          "unreadable, 1 otherwise.");
  auto options = std::make_shared<RepairCommandOptions>();
  repair->add_option("REPLICA", options->replicas, "Replica trees, two or more")->required();
  add_scan_options(*repair, *options);
  repair->get_option("--prometheus")
      ->description(
          "Also write the comparison after the repair to FILE, as compare --prometheus does "
          "(same series and labels)");
  repair->add_flag("--dry-run", options->dry_run,
                   "Print SOURCE -> TARGET for each file that would be copied (names escaped as "
                   "above); change nothing");
  cli_options::add_count_option(*repair, "--parallel", options->parallel,
                                {1, profile_logs::repair::MAX_PARALLEL}, "Copies at a time");
  repair->callback([options, &io, &status] {
    status = run_with_comparison_metrics(
        *options, options->replicas, io,
        [&](metrics::ComparisonMetrics* collected) { return run_repair(*options, io, collected); });
  });
}
}  // namespace

void add_profile_logs_commands(CLI::App& app, const Io& io, int& status) {
  auto* group = app.add_subcommand("profile-logs", "Audit replicas of daily profile-log files");
  group->require_subcommand(1);
  add_missing_command(*group, io, status);
  add_compare_command(*group, io, status);
  add_repair_command(*group, io, status);
}

}  // namespace quelmar::cli
