#include "quelmar/profile_logs/dunmere.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "profile_logs/replica_walk.hpp"
#include "quelmar/util/calendar.hpp"

namespace quelmar::profile_logs::dunmere {

using std::chrono::sys_days;

// ---------------------------------------------------------------- scans

std::optional<Date> extract_date_from_filename(std::string_view filename) {
  const auto day = detail::dated_name_day(filename);
  if (!day) return std::nullopt;
  return Date{*day};
}

std::vector<Date> generate_date_range(Date start_date, Date end_date) {
  const sys_days first{start_date};
  const auto count = (sys_days{end_date} - first).count() + 1;
  std::vector<Date> dates;
  if (count <= 0) return dates;
  dates.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) dates.emplace_back(first + std::chrono::days{i});
  return dates;
}

std::vector<Date> check_missing_files_for_folder(const std::filesystem::path& folder_path,
                                                 Date start_date, Date end_date) {
  DaySet found(start_date, end_date);
  std::error_code ec;
  if (!std::filesystem::exists(folder_path, ec)) return found.complement().days();

  // Every entry counts here, subdirectories included; listing errors reach the caller.
  for (const auto& entry : std::filesystem::directory_iterator(folder_path)) {
    if (const auto day = detail::dated_name_day(entry.path().filename().native())) {
      found.insert(*day);
    }
  }
  return found.complement().days();
}

namespace {

std::error_code scan_tree(const std::filesystem::path& root_path, Date start_date, Date end_date,
                          const MissingFilesVisitor& visitor, const AuditOptions& audit) {
  std::vector<Date> missing;  // reused: one directory's missing days at a time
  const detail::WalkOptions options{
      .start_date = start_date, .end_date = end_date, .expected = audit.expected};
  const auto error = detail::walk_replicas(
      {root_path}, options,
      [&](std::string_view rel_path, const ExpectedDirectories::Node* expect,
          const std::vector<detail::ReplicaDirectory>& replicas) {
        const detail::ReplicaDirectory& directory = replicas.front();
        const bool is_expected = detail::is_expected(expect);
        switch (directory.presence) {
          case detail::Presence::kUnreadable:
            return !audit.unreadable ||
                   audit.unreadable(rel_path, {directory.error, std::generic_category()});
          case detail::Presence::kAbsent:
            if (!is_expected) return true;
            break;
          case detail::Presence::kListed:
            if (!is_expected && !directory.has_dated_names) return true;
            break;
        }
        DaySet gaps = directory.held.complement();
        if (is_expected) gaps.keep_between(expect->service.first, expect->service.last);
        missing.clear();
        gaps.for_each_index([&](std::int64_t i) { missing.push_back(gaps.day_at(i)); });
        if (missing.empty()) return true;
        return visitor(rel_path, missing);
      });
  return error ? error->error : std::error_code{};
}

}  // namespace

std::error_code visit_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date, const MissingFilesVisitor& visitor) {
  return scan_tree(root_path, start_date, end_date, visitor, {});
}

std::error_code visit_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date, const ExpectedDirectories& expected,
                                    const MissingFilesVisitor& visitor,
                                    const UnreadableVisitor& unreadable) {
  // Only the expected directories among the unreadable ones are named here.
  const AuditOptions audit{
      .expected = &expected, .unreadable = [&](std::string_view rel_path, std::error_code) {
        const ExpectedDirectories::Node* node = &expected.root();
        if (rel_path != ".") {
          for (std::size_t start = 0; node != nullptr;) {
            const std::size_t end = std::min(rel_path.find('/', start), rel_path.size());
            const auto it = node->children.find(rel_path.substr(start, end - start));
            node = it == node->children.end() ? nullptr : it->second.get();
            if (end == rel_path.size()) break;
            start = end + 1;
          }
        }
        return !detail::is_expected(node) || unreadable(rel_path);
      }};
  return scan_tree(root_path, start_date, end_date, visitor, audit);
}

std::error_code visit_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date, const MissingFilesVisitor& visitor,
                                    const AuditOptions& options) {
  return scan_tree(root_path, start_date, end_date, visitor, options);
}

MissingFilesMap check_missing_files(const std::filesystem::path& root_path, Date start_date,
                                    Date end_date) {
  MissingFilesMap missing_files_map;
  // A root that is missing or cannot be listed gives the empty map.
  visit_missing_files(root_path, start_date, end_date,
                      [&](std::string_view rel_path, const std::vector<Date>& missing_dates) {
                        missing_files_map.emplace_back(std::string(rel_path), missing_dates);
                        return true;
                      });
  return missing_files_map;
}

// ---------------------------------------------------------------- relative ranges

std::optional<std::pair<Date, Date>> last_days(std::uint64_t days,
                                               std::chrono::system_clock::time_point now) {
  if (days == 0) return std::nullopt;
  const auto today = util::local_date(now);
  if (!today) return std::nullopt;
  const sys_days last = sys_days{*today} - std::chrono::days{1};
  const sys_days earliest{std::chrono::year{1} / std::chrono::January / 1};
  const sys_days latest{std::chrono::year{9999} / std::chrono::December / 31};
  if (last < earliest || last > latest) return std::nullopt;
  if (days - 1 > static_cast<std::uint64_t>((last - earliest).count())) return std::nullopt;
  const sys_days first = last - std::chrono::days{static_cast<std::int64_t>(days - 1)};
  return std::pair{Date{first}, Date{last}};
}

}  // namespace quelmar::profile_logs::dunmere
