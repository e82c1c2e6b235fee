// quelmar profile-logs missing PATH (--from DATE --to DATE | --last N) [--folder] [--json] ...
// quelmar profile-logs compare REPLICA REPLICA... (--from DATE --to DATE | --last N) ...
// quelmar profile-logs repair REPLICA REPLICA... (--from DATE --to DATE | --last N) ...
// The scans, their reports and their metrics are the profile-log library's; here are the
// options, the choice of report and the exit statuses.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands.hpp"
#include "count_option.hpp"
#include "fleet_command.hpp"
#include "quelmar/orchestrate/fleet/inventory.hpp"
#include "quelmar/profile_logs/compare_report.hpp"
#include "quelmar/profile_logs/date_range.hpp"
#include "quelmar/profile_logs/metrics.hpp"
#include "quelmar/profile_logs/metrics_file.hpp"
#include "quelmar/profile_logs/missing_scan.hpp"
#include "quelmar/profile_logs/repair.hpp"
#include "quelmar/profile_logs/repair_console.hpp"
#include "quelmar/profile_logs/replicas.hpp"
#include "quelmar/profile_logs/report.hpp"
#include "quelmar/util/calendar.hpp"

namespace quelmar::cli {
namespace {

namespace dunmere = profile_logs::dunmere;
namespace fleet = orchestrate::fleet;
namespace metrics = profile_logs::metrics;
namespace repair = profile_logs::repair;
namespace replicas = profile_logs::replicas;
namespace report = profile_logs::report;
using dunmere::DateRange;

constexpr int kExitComplete = 0;
constexpr int kExitGaps = 1;

// --last: a century of days is more than any replica keeps.
constexpr cli_options::CountRange kLastDays{1, 36'500};

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

DateRange resolve_range(const ScanOptions& options, const Io& io) {
  return dunmere::resolve_date_range({.from = options.from, .to = options.to, .last = options.last},
                                     io.clock);
}

// Runs `scan` with the metrics it collects for --prometheus (null without), then writes them
// however the scan ends. `subject` is what the metrics are labelled with: a tree or the roots.
template <typename Metrics, typename Subject>
int run_with_metrics(const ScanOptions& options, const Subject& subject, const Io& io,
                     const std::function<int(Metrics*)>& scan) {
  const metrics::ScanMetricsFile file(options.prometheus, io.clock);
  std::optional<Metrics> collected;
  if (!options.prometheus.empty()) {
    try {
      collected.emplace(subject, metrics::parse_constant_labels(options.prometheus_labels));
    } catch (const std::invalid_argument& e) {
      throw CommandError(std::string("--prometheus-label ") + e.what());
    }
  }
  int status = kExitUsage;
  file.run(
      [&] {
        status = scan(collected ? &*collected : nullptr);
        return status != kExitUsage;
      },
      [&](const metrics::ScanRun& run) { return collected->render(run); });
  return status;
}

// A report that could not be written is no answer.
int exit_status(report::ScanOutcome outcome) {
  switch (outcome) {
    case report::ScanOutcome::kComplete:
      return kExitComplete;
    case report::ScanOutcome::kGaps:
      return kExitGaps;
    case report::ScanOutcome::kOutputFailed:
      break;
  }
  return kExitUsage;
}

// The directories the scan expects: none, an --expect list or the meters of an --inventory.
struct Expectations {
  bool usable = true;  // false once the inventory's problems were printed
  std::optional<dunmere::ExpectedDirectories> expected{};

  const dunmere::ExpectedDirectories* get() const { return expected ? &*expected : nullptr; }
};

Expectations read_expectations(const ScanOptions& options, const Io& io) {
  if (!options.expect.empty()) {
    return {.expected = dunmere::read_expected_directories(options.expect)};
  }
  if (options.inventory.empty()) return {};
  const auto inventory = load_inventory(options.inventory, io, fleet::InventoryUse::kAudit);
  if (!inventory) return {.usable = false};
  Expectations result{.expected = dunmere::ExpectedDirectories()};
  for (const fleet::Meter& meter : inventory->meters) {
    if (meter.directory.empty()) continue;  // a meter that is not audited
    result.expected->add(meter.directory, {meter.commissioned, meter.decommissioned});
  }
  return result;
}

// ---------------------------------------------------------------- missing

struct MissingOptions : ScanOptions {
  std::string path;
  bool folder = false;
};

int run_missing(const MissingOptions& options, const Io& io) {
  return run_with_metrics<metrics::MissingFilesMetrics>(
      options, options.path, io, [&](metrics::MissingFilesMetrics* collected) {
        report::MissingScan scan{.path = options.path,
                                 .range = resolve_range(options, io),
                                 .folder = options.folder,
                                 .json = options.json,
                                 .metrics = collected};
        Expectations expectations;
        if (!options.folder) expectations = read_expectations(options, io);
        if (!expectations.usable) return kExitUsage;
        scan.expected = expectations.get();
        return exit_status(report::report_missing(scan, io.out, io.err));
      });
}

// ---------------------------------------------------------------- compare and repair

struct CompareOptions : ScanOptions {
  std::vector<std::string> replicas;
  bool copy_list = false;
};

struct RepairCommandOptions : ScanOptions {
  std::vector<std::string> replicas;
  unsigned parallel = 4;
  bool dry_run = false;
};

void check_replica_count(const std::vector<std::string>& roots, const char* command) {
  if (roots.size() < 2) throw CommandError(std::string(command) + " needs two or more replicas");
  if (roots.size() > replicas::MAX_REPLICAS) {
    throw CommandError(std::string(command) + " takes at most " +
                       std::to_string(replicas::MAX_REPLICAS) + " replicas");
  }
  if (const auto same = replicas::same_directory_twice(roots)) {
    throw CommandError("replicas " + roots[same->first] + " and " + roots[same->second] +
                       " are the same directory");
  }
}

// The comparison that compare reports and repair repairs: one for both.
replicas::CompareOptions comparison_options(DateRange range, const Expectations& expectations) {
  return {.start_date = range.from, .end_date = range.to, .expected = expectations.get()};
}

// `metrics` is null without --prometheus.
int run_compare(const CompareOptions& options, DateRange range, const Io& io,
                metrics::ComparisonMetrics* metrics) {
  check_replica_count(options.replicas, "compare");
  const Expectations expectations = read_expectations(options, io);
  if (!expectations.usable) return kExitUsage;
  using Format = report::CompareFormat;
  const report::ComparisonScan scan{.compare = comparison_options(range, expectations),
                                    .format = options.copy_list
                                                  ? Format::kCopyList
                                                  : (options.json ? Format::kJson : Format::kText),
                                    .metrics = metrics};
  return exit_status(report::report_comparison(options.replicas, scan, io.out));
}

// `metrics` is null without --prometheus; it gets the comparison after the repair.
int run_repair(const RepairCommandOptions& options, const Io& io,
               metrics::ComparisonMetrics* metrics) {
  check_replica_count(options.replicas, "repair");
  const DateRange range = resolve_range(options, io);
  const Expectations expectations = read_expectations(options, io);
  if (!expectations.usable) return kExitUsage;
  const repair::ConsoleRepair run{.options = {.compare = comparison_options(range, expectations),
                                              .parallel = options.parallel,
                                              .dry_run = options.dry_run},
                                  .err_is_terminal = io.err_is_terminal,
                                  .metrics_after = metrics};
  return exit_status(repair::repair_on_console(options.replicas, run, io.out, io.err));
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
    status = run_with_metrics<metrics::ComparisonMetrics>(
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
    status = run_with_metrics<metrics::ComparisonMetrics>(
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
