#include "quelmar/profile_logs/missing_scan.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "quelmar/profile_logs/report.hpp"

namespace quelmar::profile_logs::report {

namespace {

// The folder check counts a folder that does not exist as missing every day, so a
// path whose existence cannot even be tested must not reach it.
void require_existence_known(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return;
  const int error = errno;
  if (error == ENOENT || error == ENOTDIR) return;
  throw ScanFailed("cannot check " + path + ": " + std::generic_category().message(error));
}

ScanOutcome report_folder(const MissingScan& scan, std::ostream& out, std::ostream& err) {
  require_existence_known(scan.path);
  std::vector<Date> missing;
  try {
    missing = dunmere::check_missing_files_for_folder(scan.path, scan.range.from, scan.range.to);
  } catch (const std::filesystem::filesystem_error& e) {
    throw ScanFailed("cannot list " + scan.path + ": " + e.code().message());
  }
  if (scan.metrics != nullptr && !missing.empty()) scan.metrics->add_directory(".", missing.size());
  if (scan.json) {
    BlockWriter writer(out);
    write_json_dates(writer, missing);
    writer << "\n";
    if (!writer.flush()) return ScanOutcome::kOutputFailed;
  } else {
    MissingReport report(out, err, false, scan.range.from, scan.range.to);
    if (!missing.empty() && !report.add_directory(scan.path, missing)) {
      return ScanOutcome::kOutputFailed;
    }
    if (!report.finish()) return ScanOutcome::kOutputFailed;
  }
  return missing.empty() ? ScanOutcome::kComplete : ScanOutcome::kGaps;
}

// Each directory is written as the walk finds it; nothing is collected, and the walk ends as
// soon as the output cannot be written.
ScanOutcome report_tree(const MissingScan& scan, std::ostream& out, std::ostream& err) {
  MissingReport report(out, err, scan.json, scan.range.from, scan.range.to);
  const auto on_missing = [&](std::string_view dir, const std::vector<Date>& missing) {
    if (scan.metrics != nullptr) scan.metrics->add_directory(dir, missing.size());
    return report.add_directory(dir, missing);
  };
  const auto on_unreadable = [&](std::string_view dir, std::error_code reason) {
    if (scan.metrics != nullptr) scan.metrics->add_unreadable(dir);
    return report.add_unreadable(dir, reason);
  };
  const std::error_code error =
      dunmere::visit_missing_files(scan.path, scan.range.from, scan.range.to, on_missing,
                                   {.expected = scan.expected, .unreadable = on_unreadable});
  if (error) throw ScanFailed("cannot scan " + scan.path + ": " + error.message());
  if (!report.finish()) return ScanOutcome::kOutputFailed;  // never a summary after it
  const bool complete = report.directories() == 0 && report.unreadable() == 0;
  return complete ? ScanOutcome::kComplete : ScanOutcome::kGaps;
}

}  // namespace

ScanOutcome report_missing(const MissingScan& scan, std::ostream& out, std::ostream& err) {
  return scan.folder ? report_folder(scan, out, err) : report_tree(scan, out, err);
}

}  // namespace quelmar::profile_logs::report
