// The tree walk behind both the audit and the replica comparison: one or more
// roots walked together, each once, directory by directory, matched by path
// relative to their roots. One set of rules for all: which names carry a day,
// symbolic links never followed, a bounded number of open descriptors, and time
// linear in the size of the trees whatever their shape.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "quelmar/profile_logs/day_set.hpp"
#include "quelmar/profile_logs/expected_directories.hpp"

namespace quelmar::profile_logs::detail {

using dunmere::Date;
using dunmere::DaySet;
using dunmere::ExpectedDirectories;

// The day a name carries, when it is a dated name.
std::optional<std::chrono::sys_days> dated_name_day(std::string_view name);

enum class Presence : std::uint8_t {
  kListed,
  kAbsent,      // no entry of that name
  kUnreadable,  // it, or a directory above it, cannot be listed or is no directory
};

struct DatedFile {
  std::int64_t day_index;  // in the walk's range
  std::string name;
  bool regular;  // a regular file, not a link or a special file
};

// One root's view of the directory being visited.
struct ReplicaDirectory {
  Presence presence = Presence::kAbsent;
  // kUnreadable: the errno of opening or listing it or a directory above it; ELOOP
  // for a symbolic link, ENOTDIR for anything else that is no directory.
  int error = 0;
  bool has_dated_names = false;        // any dated name, in the range or not
  DaySet held;                         // the days of the range that have a dated name
  std::vector<DatedFile> dated_files;  // in the range; with WalkOptions::keep_dated_files only
  // Names of other entries, not directories, that start with WalkOptions::leftover_prefix.
  std::vector<std::string> leftovers;
};

struct WalkOptions {
  Date start_date;
  Date end_date;
  // Visit directories in byte order of their relative paths rather than in the
  // order the first root lists them.
  bool byte_order = false;
  bool keep_dated_files = false;
  const ExpectedDirectories* expected = nullptr;
  std::string_view leftover_prefix{};  // empty: none kept
};

// Called for each directory the walk reaches: every directory that a root lists,
// and every expected directory (and those on the way to it) wherever it exists.
// `expect` is its node in the expected tree when it has one (expected or on the
// way to one). `replicas` has one entry per root, in the order of the roots;
// everything is valid only during the call. Returning false ends the walk.
using DirectoryVisitor =
    std::function<bool(std::string_view rel_path, const ExpectedDirectories::Node* expect,
                       const std::vector<ReplicaDirectory>& replicas)>;

// Whether a node of the expected tree is an expected directory itself.
inline bool is_expected(const ExpectedDirectories::Node* node) {
  return node != nullptr && node->expected;
}

struct RootError {
  std::size_t root;
  std::error_code error;
};

// The most roots one walk takes: each has a bit in a mask per directory entry,
// and keeps descriptors open.
inline constexpr std::size_t kMaxRoots = 64;

// Walks the roots (symbolic links to a root are followed, none below). Returns
// the first root that cannot be opened or listed; nothing is visited then.
std::optional<RootError> walk_replicas(const std::vector<std::filesystem::path>& roots,
                                       const WalkOptions& options, const DirectoryVisitor& visitor);

}  // namespace quelmar::profile_logs::detail
