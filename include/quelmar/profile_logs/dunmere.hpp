// Audit of replica directories of daily profile-log CSV files: which days of a
// date range have no file, per directory.
#pragma once

#include <bit>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "quelmar/profile_logs/day_set.hpp"
#include "quelmar/profile_logs/expected_directories.hpp"

namespace quelmar::profile_logs::dunmere {

// A dated name ends with "-", eight digits and ".csv"; the digits are the day
// (YYYYMMDD). Applied as a match anchored at the name's first character.
inline constexpr std::string_view DATE_PATTERN = R"(.*-(\d{8})\.csv$)";

// Per directory (relative path, "." for the root), its missing days, in the
// order the walk visited the directories.
using MissingFilesMap = std::vector<std::pair<std::string, std::vector<Date>>>;

// Extract the date from a file name of the form <prefix>-YYYYMMDD.csv
// (typically SERIAL-X-YYYYMMDD.csv). Absent when the name has no such ending or
// its digits name no calendar date (years 1 to 9999).
std::optional<Date> extract_date_from_filename(std::string_view filename);

// Generate a list of dates from start to end (inclusive).
std::vector<Date> generate_date_range(Date start_date, Date end_date);

// Check for missing files in a single folder (not recursive).
// Throws std::filesystem::filesystem_error when the folder exists but cannot be listed.
std::vector<Date> check_missing_files_for_folder(const std::filesystem::path& folder_path,
                                                 Date start_date, Date end_date);

// Scan for missing files in directories containing CSVs.
// Directories that cannot be listed are skipped silently; symbolic links to
// directories are neither followed nor examined.
MissingFilesMap check_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date);

// Called once per directory that has dated names and missing days, in walk order:
// its path relative to the root ("." for the root) and its missing days, ascending
// and never empty. Both are valid only during the call. Returning false ends the walk.
using MissingFilesVisitor =
    std::function<bool(std::string_view rel_path, const std::vector<Date>& missing_dates)>;

// The tree scan of check_missing_files, handing each directory to `visitor` as soon
// as it is listed instead of collecting them, so that memory does not grow with the
// number of directories. Returns the error of opening or listing root_path itself
// (empty when the root was listed); directories below it that cannot be listed are
// skipped silently.
std::error_code visit_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date, const MissingFilesVisitor& visitor);

// Called once per expected directory that cannot be listed: it, or a directory
// above it, exists but cannot be opened or read, or is not a directory (a
// symbolic link included). Returning false ends the walk.
using UnreadableVisitor = std::function<bool(std::string_view rel_path)>;

// visit_missing_files, where every expected directory is also reported: with
// every day of the range when it does not exist or holds no dated name in the
// range, and through `unreadable` when it cannot be listed.
std::error_code visit_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date, const ExpectedDirectories& expected,
                                    const MissingFilesVisitor& visitor,
                                    const UnreadableVisitor& unreadable);

// A directory below the root that cannot be listed, and why: the error of opening or
// listing it (ELOOP when it is a symbolic link, ENOTDIR when it is something else
// that is no directory). Returning false ends the walk.
using UnreadableDirectoryVisitor =
    std::function<bool(std::string_view rel_path, std::error_code reason)>;

struct AuditOptions {
  const ExpectedDirectories* expected = nullptr;
  // Told about every directory below the root that cannot be listed (and every
  // expected one below those); without it they are skipped silently.
  UnreadableDirectoryVisitor unreadable{};
};

// visit_missing_files with expected directories (each with its period of service)
// and unreadable directories told, as `options` asks.
std::error_code visit_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date, const MissingFilesVisitor& visitor,
                                    const AuditOptions& options);

// ---------------------------------------------------------------- relative ranges

// The `days` days ending yesterday, in local time (the TZ environment variable
// counts) at `now`. Absent when days is 0 or the range would start before year 1.
std::optional<std::pair<Date, Date>> last_days(std::uint64_t days,
                                               std::chrono::system_clock::time_point now);

}  // namespace quelmar::profile_logs::dunmere
