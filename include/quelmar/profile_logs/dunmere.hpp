// Audit of replica directories of daily profile-log CSV files: which days of a
// date range have no file, per directory.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace quelmar::profile_logs::dunmere {

using Date = std::chrono::year_month_day;

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

}  // namespace quelmar::profile_logs::dunmere
