// Comparison of replicas of a profile-log tree: which days each replica lacks
// that another one holds, which days none holds, and where files can be copied
// from. Each replica is walked once, with the rules of the audit (dunmere).
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "quelmar/profile_logs/dunmere.hpp"

namespace quelmar::profile_logs::replicas {

using dunmere::Date;
using dunmere::DaySet;

// The most replicas one comparison takes.
inline constexpr std::size_t MAX_REPLICAS = 64;

struct ReplicaDays {
  std::size_t replica;  // index into the roots
  DaySet days;
};

// A dated file that can repair a lacking day.
struct SourceFile {
  Date day;
  std::size_t replica;
  std::string_view name;
};

// A directory where the replicas differ or cannot all be read. A directory
// counts when it has a dated name (in the range or not) in some replica, or is
// expected; then each day of the range is held by every replica, lacking in some
// (held by another), or lost (held by none).
struct DirectoryComparison {
  std::string_view directory;  // relative to the roots, "." for the roots themselves
  // The replicas that lack days, ascending, each with those days (never empty). A
  // replica lacks a day when its directory has no file for it or does not exist.
  std::vector<ReplicaDays> lacking;
  // The days no replica holds; always empty when a replica is unreadable here,
  // since that one may hold them.
  DaySet lost;
  // The replicas where the directory, or one above it, exists but cannot be
  // listed or is no directory (symbolic links are never followed): nothing is
  // said about their days there.
  std::vector<std::size_t> unreadable;
  // With CompareOptions::sources: for each day some replica lacks, the regular
  // files of that day in the first replica (in the order of the roots) that has
  // one, ascending by day. Symbolic links and special files are never sources.
  std::vector<SourceFile> sources;
  // With CompareOptions::alternatives too: the regular files of those days in the
  // later replicas, by day, then in the order of the roots; where a source turns
  // out to be unusable, the next replica's file of its day can stand in.
  std::vector<SourceFile> alternatives;
  // With CompareOptions::leftover_prefix: the entries (not directories) of this
  // directory, in any replica, whose names start with it. A directory that has
  // some is visited even when nothing else is said about it.
  struct Leftover {
    std::size_t replica;
    std::string_view name;
  };
  std::vector<Leftover> leftovers;
};

struct CompareOptions {
  Date start_date;
  Date end_date;
  const dunmere::ExpectedDirectories* expected = nullptr;  // directories that must hold files
  bool sources = false;
  bool alternatives = false;  // with sources
  std::string_view leftover_prefix{};
};

// Called once per directory with something lacking, lost or unreadable, in byte
// order of the relative paths. Everything is valid only during the call.
// Returning false ends the walk.
using ComparisonVisitor = std::function<bool(const DirectoryComparison& directory)>;

struct RootError {
  std::size_t replica;
  std::error_code error;
};

// Walks the roots together (symbolic links to a root are followed, none below)
// and hands each directory to `visitor` as soon as every root has been listed
// there, so memory does not grow with the number of directories. Returns the
// first root that cannot be opened or listed, before any visit. Throws
// std::invalid_argument for no roots or more than MAX_REPLICAS.
std::optional<RootError> compare_replicas(const std::vector<std::filesystem::path>& roots,
                                          const CompareOptions& options,
                                          const ComparisonVisitor& visitor);

// The copies that repair a directory's lacking days, as its sources pair them:
// one call per replica and day it lacks, in the order of `lacking` and ascending
// by day. `sources` are the files to copy there (empty when no replica holds a
// regular file of that day), `alternatives` the files of that day that could
// stand in for them (see DirectoryComparison::alternatives).
using CopyVisitor =
    std::function<void(std::size_t target, Date day, std::span<const SourceFile> sources,
                       std::span<const SourceFile> alternatives)>;
void for_each_copy(const DirectoryComparison& directory, const CopyVisitor& visit);

// The first two roots, by index, that are one directory under two names (another spelling, a
// trailing slash, a link): compared with itself it would never lack anything. A root that
// cannot be examined is left to the scan to report.
std::optional<std::pair<std::size_t, std::size_t>> same_directory_twice(
    const std::vector<std::string>& roots);

}  // namespace quelmar::profile_logs::replicas
