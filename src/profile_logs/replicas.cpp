#include "quelmar/profile_logs/replicas.hpp"

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
// first replica that has one.
void collect_sources(const std::vector<ReplicaDirectory>& replicas,
                     DirectoryComparison& comparison) {
  DaySet needed = comparison.lost;  // an empty set over the range
  needed.clear();
  for (const auto& lack : comparison.lacking) needed |= lack.days;
  for (std::size_t s = 0; s < replicas.size() && !needed.empty(); ++s) {
    DaySet provided = needed;
    provided.clear();
    for (const auto& file : replicas[s].dated_files) {
      const Date day = needed.day_at(file.day_index);
      if (!file.regular || !needed.contains(day)) continue;
      provided.insert(day);
      comparison.sources.push_back({day, s, file.name});
    }
    needed -= provided;
  }
  std::stable_sort(comparison.sources.begin(), comparison.sources.end(),
                   [](const SourceFile& a, const SourceFile& b) { return a.day < b.day; });
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
                                         .expected = options.expected};
  const auto error = detail::walk_replicas(
      roots, walk_options,
      [&](std::string_view rel_path, const dunmere::ExpectedDirectories::Node* expect,
          const std::vector<ReplicaDirectory>& replicas) {
        const bool expected = detail::is_expected(expect);
        const bool counts =
            expected || std::any_of(replicas.begin(), replicas.end(), [](const auto& r) {
              return r.presence == Presence::kListed && r.has_dated_names;
            });
        if (!counts) return true;
        comparison.lacking.clear();
        comparison.unreadable.clear();
        comparison.sources.clear();
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
            comparison.unreadable.empty()) {
          return true;
        }
        if (options.sources) collect_sources(replicas, comparison);
        comparison.directory = rel_path;
        return visitor(comparison);
      });
  if (error) return RootError{error->root, error->error};
  return std::nullopt;
}

}  // namespace quelmar::profile_logs::replicas
