// Repair of replicas of a profile-log tree: every file a replica lacks is copied
// from the replica that the comparison pairs it with, safely while the trees
// change (no symbolic link is ever followed below a root, nothing existing is
// ever replaced) and durably (the file systems written to are synced).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "quelmar/profile_logs/replicas.hpp"
#include "quelmar/profile_logs/temporary_prefix.hpp"

namespace quelmar::profile_logs::repair {

using dunmere::Date;

inline constexpr unsigned MAX_PARALLEL = 64;

struct RepairOptions {
  // The comparison whose lacking days are repaired: range, expected directories.
  replicas::CompareOptions compare;
  unsigned parallel = 4;  // copies at a time, 1 to MAX_PARALLEL
  bool dry_run = false;   // report what would be copied, change nothing
};

// A file of a replica: `directory` relative to the roots ("." for a root).
struct FileRef {
  std::size_t replica;
  std::string_view directory;
  std::string_view name;
};

// What the repair meets. Calls come one at a time, from any thread; what they
// are given is valid only during the call.
class RepairReport {
 public:
  virtual ~RepairReport() = default;
  // Dry run: a copy that would be made.
  virtual void would_copy(const FileRef& /*source*/, const FileRef& /*target*/) {}
  // A source that cannot be read or is no regular file when opened; a later
  // replica's file of that day is used instead, where there is one.
  virtual void skipped_source(const FileRef& /*source*/, std::string_view /*reason*/) {}
  virtual void not_copied(const FileRef& /*source*/, const FileRef& /*target*/,
                          std::string_view /*reason*/) {}
  // A day lacking in `target` that no replica holds in a regular file.
  virtual void no_source(std::size_t /*target*/, std::string_view /*directory*/, Date /*day*/) {}
  virtual void unreadable(std::string_view /*directory*/,
                          std::span<const std::size_t> /*replicas*/) {}
  // Once the comparison is done, before the first copy: how many files are to be
  // copied (stand-ins not counted).
  virtual void planned(std::uint64_t /*files*/) {}
  virtual void progress(std::uint64_t /*files*/, std::uint64_t /*bytes*/) {}
  // The copies into this replica's file system may not be on disk.
  virtual void not_synced(std::size_t /*replica*/, std::string_view /*reason*/) {}
};

struct RepairSummary {
  std::uint64_t lacking_days = 0;  // (replica, directory, day) as found
  std::uint64_t files = 0;         // copied; in a dry run, to be copied
  std::uint64_t bytes = 0;
  std::uint64_t directories = 0;  // target directories written into
  // Sources skipped, copies that failed, and days that no regular file repairs.
  std::uint64_t not_copied = 0;
  std::uint64_t lost_days = 0;
  std::uint64_t unreadable_directories = 0;  // unreadable in some replica
  std::uint64_t leftovers_removed = 0;
  bool synced = true;

  // Nothing lacking remains and nothing stands in the way of a full repair.
  bool complete() const {
    return not_copied == 0 && lost_days == 0 && unreadable_directories == 0 && synced;
  }
};

// Compares the roots, then copies into each the files it lacks. Returns the
// first root that cannot be opened or listed, or (errno EWOULDBLOCK) that
// another repair is working on; nothing is changed then. Throws
// std::invalid_argument for fewer than two or more than replicas::MAX_REPLICAS
// roots or a `parallel` out of range.
std::optional<replicas::RootError> repair_replicas(const std::vector<std::filesystem::path>& roots,
                                                   const RepairOptions& options,
                                                   RepairReport& report, RepairSummary& summary);

}  // namespace quelmar::profile_logs::repair
