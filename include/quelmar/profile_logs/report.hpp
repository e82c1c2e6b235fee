// The reports of the scans as text and JSON, written piece by piece as the walk goes:
// a report over the whole calendar holds millions of days.
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "quelmar/profile_logs/dunmere.hpp"

namespace quelmar::profile_logs::report {

using dunmere::Date;
using dunmere::DaySet;

// Writes small pieces to the stream in large blocks.
class BlockWriter {
 public:
  explicit BlockWriter(std::ostream& out);
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  BlockWriter& operator<<(std::string_view text) {
    block_ += text;
    if (block_.size() >= kBlock) flush();
    return *this;
  }
  BlockWriter& operator<<(char c) { return *this << std::string_view(&c, 1); }
  BlockWriter& operator<<(std::uint64_t n) { return *this << std::string_view(std::to_string(n)); }
  BlockWriter& operator<<(Date d);  // YYYY-MM-DD

  // Hands the block to the stream; nothing reaches it otherwise. True while
  // everything written so far has reached the stream.
  bool flush();

 private:
  static constexpr std::size_t kBlock = std::size_t{64} * 1024;
  std::ostream& out_;
  std::string block_;
};

const char* plural(std::uint64_t n, const char* one, const char* many);

// "FIRST..LAST (N days)".
void write_range(BlockWriter& out, Date from, Date to);
// Runs of consecutive days as "A..B", single days as "A", then the count and a line feed.
void write_runs(BlockWriter& out, const DaySet& days);
// One report line of the audit: the directory, inert on a terminal, then its days.
void write_text_line(BlockWriter& out, std::string_view dir, const std::vector<Date>& dates);
// ["YYYY-MM-DD",...]
void write_json_dates(BlockWriter& out, const std::vector<Date>& dates);
void write_json_days(BlockWriter& out, const DaySet& days);

// A directory name as a JSON string: every byte kept, escaped reversibly so that the
// JSON stays valid UTF-8 and two directories never share a key; ASCII-only, so that no
// name can drive a terminal.
std::string json_key(std::string_view dir);

// The directories --json names on stderr as unreadable, at most; then a count.
inline constexpr std::uint64_t MAX_LISTED_UNREADABLE = 100;

// The report of `missing` over a tree. Text: a line per directory with gaps and per
// directory that cannot be listed, then a summary that counts both. JSON: one object of
// directory -> missing days, the unreadable directories on `err` as
// "quelmar: cannot list DIR: REASON" (the first MAX_LISTED_UNREADABLE, then a count).
class MissingReport {
 public:
  MissingReport(std::ostream& out, std::ostream& err, bool json, Date from, Date to);

  // Each returns false once the output cannot be written.
  bool add_directory(std::string_view dir, const std::vector<Date>& missing);
  bool add_unreadable(std::string_view dir, std::error_code reason);
  // The end of the object or the summary; never after a failed write.
  bool finish();

  std::uint64_t directories() const { return directories_; }
  std::uint64_t unreadable() const { return unreadable_; }

 private:
  BlockWriter out_;
  std::ostream& err_;
  bool json_;
  Date from_;
  Date to_;
  std::uint64_t directories_ = 0;
  std::uint64_t missing_days_ = 0;
  std::uint64_t unreadable_ = 0;
};

// A tree or replica that cannot be scanned: what() says which and why.
class ScanFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a scan that was reported ended.
enum class ScanOutcome {
  kComplete,      // nothing missing, lacking, lost or unreadable
  kGaps,          // something is (or, after a repair, something is left)
  kOutputFailed,  // the report could not be written; nothing was written after that
};

// Why a directory cannot be listed, in words.
std::string unreadable_reason(std::error_code reason);

}  // namespace quelmar::profile_logs::report
