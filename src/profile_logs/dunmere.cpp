#include "quelmar/profile_logs/dunmere.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "profile_logs/replica_walk.hpp"
#include "quelmar/util/calendar.hpp"
#include "quelmar/util/relative_path.hpp"

namespace quelmar::profile_logs::dunmere {

using std::chrono::sys_days;

// ---------------------------------------------------------------- day sets

DaySet::DaySet(Date first, Date last)
    : first_(sys_days{first}),
      count_(std::max<std::int64_t>(0, (sys_days{last} - first_).count() + 1)),
      words_(static_cast<std::size_t>((count_ + 63) / 64), 0) {}

bool DaySet::insert(sys_days day) {
  const std::int64_t i = (day - first_).count();
  if (i < 0 || i >= count_) return false;
  words_[static_cast<std::size_t>(i / 64)] |= std::uint64_t{1} << (i % 64);
  return true;
}

bool DaySet::contains(Date day) const {
  const std::int64_t i = (sys_days{day} - first_).count();
  if (i < 0 || i >= count_) return false;
  return (words_[static_cast<std::size_t>(i / 64)] >> (i % 64) & 1) != 0;
}

std::uint64_t DaySet::size() const {
  std::uint64_t n = 0;
  for (const std::uint64_t w : words_) n += static_cast<std::uint64_t>(std::popcount(w));
  return n;
}

bool DaySet::empty() const {
  return std::all_of(words_.begin(), words_.end(), [](std::uint64_t w) { return w == 0; });
}

void DaySet::clear() { std::fill(words_.begin(), words_.end(), 0); }

DaySet DaySet::complement() const {
  DaySet result = *this;
  for (auto& w : result.words_) w = ~w;
  if (count_ % 64 != 0) result.words_.back() &= (std::uint64_t{1} << (count_ % 64)) - 1;
  return result;
}

DaySet& DaySet::operator|=(const DaySet& other) {
  for (std::size_t w = 0; w < words_.size() && w < other.words_.size(); ++w) {
    words_[w] |= other.words_[w];
  }
  return *this;
}

DaySet& DaySet::operator-=(const DaySet& other) {
  for (std::size_t w = 0; w < words_.size() && w < other.words_.size(); ++w) {
    words_[w] &= ~other.words_[w];
  }
  return *this;
}

void DaySet::keep_between(std::optional<Date> first, std::optional<Date> last) {
  const auto clear_range = [this](std::int64_t from, std::int64_t to) {  // [from, to)
    from = std::clamp<std::int64_t>(from, 0, count_);
    to = std::clamp<std::int64_t>(to, 0, count_);
    for (std::int64_t i = from; i < to;) {
      const auto w = static_cast<std::size_t>(i / 64);
      const std::int64_t bit = i % 64;
      const std::int64_t n = std::min<std::int64_t>(64 - bit, to - i);
      const std::uint64_t mask = n == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << n) - 1) << bit;
      words_[w] &= ~mask;
      i += n;
    }
  };
  if (first) clear_range(0, (sys_days{*first} - first_).count());
  if (last) clear_range((sys_days{*last} - first_).count() + 1, count_);
}

std::vector<Date> DaySet::days() const {
  std::vector<Date> out;
  out.reserve(size());
  for_each_index([&](std::int64_t i) { out.push_back(day_at(i)); });
  return out;
}

// ---------------------------------------------------------------- expected directories

ExpectedDirectories& ExpectedDirectories::operator=(ExpectedDirectories&& other) noexcept {
  if (this != &other) {
    release();
    root_ = std::move(other.root_);
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

ExpectedDirectories::~ExpectedDirectories() { release(); }

// A chain of a thousand names would otherwise be freed by as many nested destructors.
void ExpectedDirectories::release() noexcept {
  std::vector<std::unique_ptr<Node>> pending;
  const auto take_children = [&pending](Node& node) {
    for (auto& entry : node.children) pending.push_back(std::move(entry.second));
    node.children.clear();
  };
  take_children(root_);
  while (!pending.empty()) {
    std::unique_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    take_children(*node);
  }
  count_ = 0;
}

namespace {

// The smallest period that holds both.
void widen(ServicePeriod& span, const ServicePeriod& service) {
  if (!span.first || !service.first) {
    span.first.reset();
  } else if (sys_days{*service.first} < sys_days{*span.first}) {
    span.first = service.first;
  }
  if (!span.last || !service.last) {
    span.last.reset();
  } else if (sys_days{*span.last} < sys_days{*service.last}) {
    span.last = service.last;
  }
}

}  // namespace

void ExpectedDirectories::add(std::string_view rel_path, const ServicePeriod& service) {
  if (const auto problem = util::relative_path_problem(rel_path, /*root_allowed=*/true)) {
    throw std::invalid_argument(*problem);
  }
  // The spans on the way down only ever widen: an upper bound stays one when a directory
  // added again keeps its first period.
  Node* node = &root_;
  widen(root_.span, service);
  if (rel_path != ".") {
    for (std::size_t start = 0;;) {
      const std::size_t end = std::min(rel_path.find('/', start), rel_path.size());
      const std::string_view name = rel_path.substr(start, end - start);
      auto it = node->children.find(name);
      if (it == node->children.end()) {
        it = node->children.emplace(std::string(name), std::make_unique<Node>()).first;
        // No day yet, until an expected directory below widens it.
        it->second->span = {.first = std::chrono::year::max() / std::chrono::December / 31,
                            .last = std::chrono::year::min() / std::chrono::January / 1};
      }
      node = it->second.get();
      widen(node->span, service);
      if (end == rel_path.size()) break;
      start = end + 1;
    }
  }
  if (node->expected) return;
  ++count_;
  node->expected = true;
  node->service = service;
}

bool ExpectedDirectories::in_service_within(const Node& node, Date first, Date last) {
  if (node.span.first && sys_days{last} < sys_days{*node.span.first}) return false;
  return !node.span.last || sys_days{first} <= sys_days{*node.span.last};
}

ExpectedDirectories parse_expected_directories(std::string_view text) {
  ExpectedDirectories expected;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line.starts_with('#')) continue;
    std::string problem;
    const auto path = util::decode_path_key(line, problem);
    if (!path) throw ExpectedDirectoriesError(number, problem);
    if (auto why = util::relative_path_problem(*path, /*root_allowed=*/true)) {
      throw ExpectedDirectoriesError(number, "not a path below the root: " + *why);
    }
    expected.add(*path);
  }
  return expected;
}

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
