#include "quelmar/profile_logs/replicas.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "profile_logs/replica_walk.hpp"

namespace quelmar::profile_logs::replicas {

namespace {

static_assert(MAX_REPLICAS <= detail::kMaxRoots);

using detail::Presence;
using detail::ReplicaDirectory;

// For each day that some replica lacks, the regular files of that day in the
// first replica that has one; with `alternatives`, those of the later replicas too.
void collect_sources(const std::vector<ReplicaDirectory>& replicas, bool alternatives,
                     DirectoryComparison& comparison) {
  DaySet needed = comparison.lost;  // an empty set over the range
  needed.clear();
  for (const auto& lack : comparison.lacking) needed |= lack.days;
  DaySet covered = needed;
  covered.clear();
  DaySet provided = covered;
  for (std::size_t s = 0; s < replicas.size(); ++s) {
    if (!alternatives && covered == needed) break;
    provided.clear();
    for (const auto& file : replicas[s].dated_files) {
      const Date day = needed.day_at(file.day_index);
      if (!file.regular || !needed.contains(day)) continue;
      if (!covered.contains(day)) {
        provided.insert(day);
        comparison.sources.push_back({day, s, file.name});
      } else if (alternatives) {
        comparison.alternatives.push_back({day, s, file.name});
      }
    }
    covered |= provided;
  }
  const auto by_day = [](const SourceFile& a, const SourceFile& b) { return a.day < b.day; };
  std::stable_sort(comparison.sources.begin(), comparison.sources.end(), by_day);
  std::stable_sort(comparison.alternatives.begin(), comparison.alternatives.end(), by_day);
}

// The files of `day` in a run of files ascending by day, from `next` on.
std::span<const SourceFile> files_of_day(const std::vector<SourceFile>& files, std::size_t& next,
                                         Date day) {
  while (next < files.size() && files[next].day < day) ++next;
  std::size_t end = next;
  while (end < files.size() && files[end].day == day) ++end;
  return {files.data() + next, end - next};
}

}  // namespace

std::optional<RootError> compare_replicas(const std::vector<std::filesystem::path>& roots,
                                          const CompareOptions& options,
                                          const ComparisonVisitor& visitor) {
  if (roots.empty() || roots.size() > MAX_REPLICAS) {
    throw std::invalid_argument("a comparison takes 1 to " + std::to_string(MAX_REPLICAS) +
                                " replicas");
  }
  DirectoryComparison comparison;  // reused from one directory to the next
  DaySet held_anywhere(options.start_date, options.end_date);
  DaySet out_of_service(options.start_date, options.end_date);
  const detail::WalkOptions walk_options{.start_date = options.start_date,
                                         .end_date = options.end_date,
                                         .byte_order = true,
                                         .keep_dated_files = options.sources,
                                         .expected = options.expected,
                                         .leftover_prefix = options.leftover_prefix};
  const auto error = detail::walk_replicas(
      roots, walk_options,
      [&](std::string_view rel_path, const dunmere::ExpectedDirectories::Node* expect,
          const std::vector<ReplicaDirectory>& replicas) {
        const bool expected = detail::is_expected(expect);
        const bool counts =
            expected || std::any_of(replicas.begin(), replicas.end(), [](const auto& r) {
              return r.presence == Presence::kListed && r.has_dated_names;
            });
        comparison.leftovers.clear();
        for (std::size_t r = 0; r < replicas.size(); ++r) {
          for (const auto& name : replicas[r].leftovers) comparison.leftovers.push_back({r, name});
        }
        comparison.lacking.clear();
        comparison.unreadable.clear();
        comparison.sources.clear();
        comparison.alternatives.clear();
        comparison.directory = rel_path;
        if (!counts) {
          if (comparison.leftovers.empty()) return true;
          comparison.lost.clear();
          return visitor(comparison);
        }
        held_anywhere.clear();
        for (const auto& replica : replicas) held_anywhere |= replica.held;
        // Days out of service count as held everywhere: never lacking, never lost.
        if (expected && (expect->service.first || expect->service.last)) {
          out_of_service.clear();
          DaySet in_service = out_of_service.complement();
          in_service.keep_between(expect->service.first, expect->service.last);
          out_of_service = in_service.complement();
        } else {
          out_of_service.clear();
        }
        for (std::size_t r = 0; r < replicas.size(); ++r) {
          if (replicas[r].presence == Presence::kUnreadable) {
            comparison.unreadable.push_back(r);
            continue;
          }
          DaySet lacks = held_anywhere;
          lacks -= replicas[r].held;
          lacks -= out_of_service;
          if (!lacks.empty()) comparison.lacking.push_back({r, std::move(lacks)});
        }
        comparison.lost = held_anywhere.complement();
        comparison.lost -= out_of_service;
        if (!comparison.unreadable.empty()) comparison.lost.clear();
        if (comparison.lacking.empty() && comparison.lost.empty() &&
            comparison.unreadable.empty() && comparison.leftovers.empty()) {
          return true;
        }
        if (options.sources) collect_sources(replicas, options.alternatives, comparison);
        return visitor(comparison);
      });
  if (error) return RootError{error->root, error->error};
  return std::nullopt;
}

void for_each_copy(const DirectoryComparison& directory, const CopyVisitor& visit) {
  for (const auto& lack : directory.lacking) {
    std::size_t next_source = 0;  // both runs ascend by day, like the lacking days
    std::size_t next_alternative = 0;
    lack.days.for_each_index([&](std::int64_t i) {
      const Date day = lack.days.day_at(i);
      visit(lack.replica, day, files_of_day(directory.sources, next_source, day),
            files_of_day(directory.alternatives, next_alternative, day));
    });
  }
}

std::optional<std::pair<std::size_t, std::size_t>> same_directory_twice(
    const std::vector<std::string>& roots) {
  std::vector<std::pair<struct stat, std::size_t>> seen;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    struct stat st {};
    if (::stat(roots[i].c_str(), &st) != 0) continue;
    for (const auto& [other, index] : seen) {
      if (other.st_dev == st.st_dev && other.st_ino == st.st_ino) return std::pair{index, i};
    }
    seen.emplace_back(st, i);
  }
  return std::nullopt;
}

}  // namespace quelmar::profile_logs::replicas
