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

// ---------------------------------------------------------------- day sets

// Days of an inclusive date range, one bit each: a set over the whole calendar
// (3.65 million days) takes under half a MiB.
class DaySet {
 public:
  DaySet() = default;
  // The empty set over first..last; a reversed range holds no day.
  DaySet(Date first, Date last);

  Date first() const { return Date{first_}; }
  std::uint64_t range_size() const { return static_cast<std::uint64_t>(count_); }

  // Adds a day; false (and nothing added) when it lies outside the range.
  bool insert(std::chrono::sys_days day);
  bool insert(Date day) { return insert(std::chrono::sys_days{day}); }
  bool contains(Date day) const;
  std::uint64_t size() const;  // days in the set
  bool empty() const;
  void clear();

  // The days of the range that are not in the set.
  DaySet complement() const;
  // Removes the days before `first` and after `last` (inclusive bounds; absent: open).
  void keep_between(std::optional<Date> first, std::optional<Date> last);
  // Set operations on two sets over the same range.
  DaySet& operator|=(const DaySet& other);
  DaySet& operator-=(const DaySet& other);
  friend bool operator==(const DaySet&, const DaySet&) = default;

  std::vector<Date> days() const;

  // Calls f(index) for each day in the set, ascending; index 0 is first().
  template <typename F>
  void for_each_index(F&& f) const {
    for (std::size_t w = 0; w < words_.size(); ++w) {
      for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
        f(static_cast<std::int64_t>(w * 64) + std::countr_zero(bits));
      }
    }
  }

  // Calls f(first, last) for each run of consecutive days in the set, ascending.
  template <typename F>
  void for_each_run(F&& f) const {
    std::int64_t start = -1;
    std::int64_t previous = -2;
    for_each_index([&](std::int64_t i) {
      if (i != previous + 1) {
        if (start >= 0) f(day_at(start), day_at(previous));
        start = i;
      }
      previous = i;
    });
    if (start >= 0) f(day_at(start), day_at(previous));
  }

  Date day_at(std::int64_t index) const { return Date{first_ + std::chrono::days{index}}; }

 private:
  std::chrono::sys_days first_{};
  std::int64_t count_ = 0;
  std::vector<std::uint64_t> words_;
};

// ---------------------------------------------------------------- expected directories

// The days a directory's meter was in service, inclusive; an absent end is open. Days
// outside it are never missing, lacking or lost, whatever the directory holds.
struct ServicePeriod {
  std::optional<Date> first{};
  std::optional<Date> last{};
};

// Directories that must hold dated files, as paths relative to a root ("." for
// the root itself), kept as a tree of names so that a walk finds the expected
// children of each directory at once. Released without recursion, however deep.
class ExpectedDirectories {
 public:
  struct Node {
    bool expected = false;
    ServicePeriod service{};  // of an expected directory
    // The days any expected directory at or below it is in service, at most: a walk need not
    // look for a subtree that has none in its range.
    ServicePeriod span{};
    std::map<std::string, std::unique_ptr<Node>, std::less<>> children;
  };

  ExpectedDirectories() = default;
  ExpectedDirectories(ExpectedDirectories&& other) noexcept = default;
  ExpectedDirectories& operator=(ExpectedDirectories&& other) noexcept;
  ~ExpectedDirectories();

  // Adds a relative path of names separated by "/": none may be empty, "." or
  // "..", or hold a NUL byte; "." alone is the root; at most
  // util::MAX_RELATIVE_PATH_BYTES bytes and util::MAX_RELATIVE_PATH_COMPONENTS
  // names. A directory added again keeps its first period. Throws
  // std::invalid_argument naming the problem.
  void add(std::string_view rel_path, const ServicePeriod& service = {});

  // Whether anything at or below `node` is in service on some day of first..last.
  static bool in_service_within(const Node& node, Date first, Date last);

  const Node& root() const { return root_; }
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }

 private:
  void release() noexcept;

  Node root_;
  std::size_t count_ = 0;
};

// A line of an expectation list that names no directory.
class ExpectedDirectoriesError : public std::runtime_error {
 public:
  ExpectedDirectoriesError(std::size_t line, const std::string& message)
      : std::runtime_error(message), line_(line) {}
  std::size_t line() const { return line_; }

 private:
  std::size_t line_;
};

// Reads an expectation list: one directory per line, in the key encoding of the
// audit's JSON output (a backslash written "\\", a byte that is not UTF-8 "\xNN"),
// with a line feed inside a name written "\n" and a carriage return "\r". Lines
// may end in CR LF; empty lines and lines starting with "#" are skipped. Throws
// ExpectedDirectoriesError naming the first malformed line (counted from 1) and why.
ExpectedDirectories parse_expected_directories(std::string_view text);

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
