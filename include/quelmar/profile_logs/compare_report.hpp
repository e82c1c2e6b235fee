// The report of a replica comparison, written directory by directory as the walk goes: text
// lines and a summary, one JSON document, or the list of copies that repair the lacking days.
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "quelmar/profile_logs/date_range.hpp"
#include "quelmar/profile_logs/metrics.hpp"
#include "quelmar/profile_logs/replicas.hpp"
#include "quelmar/profile_logs/report.hpp"

namespace quelmar::profile_logs::report {

enum class CompareFormat {
  kText,      // per directory a line per lacking replica, lost days, unreadable replicas
  kJson,      // {"replicas", "directories", "summary"}, the replicas by index
  kCopyList,  // SOURCE_FILE\0TARGET_DIR\0 per copy, absolute paths; needs the sources
};

// A copy list whose roots cannot be made absolute: what() names the root and why.
class RootNotResolved : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CompareReport {
 public:
  // `roots` as the operator gave them, in the order of the comparison. Throws RootNotResolved.
  CompareReport(std::ostream& out, const std::vector<std::string>& roots, CompareFormat format,
                dunmere::DateRange range);

  // Each returns false once the output cannot be written; nothing reaches `out` before the
  // first directory, so a scan that cannot start leaves it untouched.
  bool add(const replicas::DirectoryComparison& directory);
  // The end of the document or the summary; never after a failed write.
  bool finish();

  // Directories with something lacking, lost or unreadable so far.
  std::uint64_t directories() const { return directories_; }

 private:
  void add_text(const replicas::DirectoryComparison& d);
  void add_json(const replicas::DirectoryComparison& d);
  void add_copies(const replicas::DirectoryComparison& d);
  void write_summary();

  BlockWriter out_;
  CompareFormat format_;
  dunmere::DateRange range_;
  std::vector<std::string> roots_;  // escaped for text, absolute for the copy list
  std::size_t replica_count_;
  bool failed_ = false;  // a write failed: nothing more is said
  std::uint64_t directories_ = 0;
  std::uint64_t lacking_days_ = 0;
  std::uint64_t lost_days_ = 0;
  std::uint64_t unreadable_ = 0;  // directories unreadable in some replica
};

struct ComparisonScan {
  replicas::CompareOptions compare;  // the range and the expected directories
  CompareFormat format = CompareFormat::kText;
  metrics::ComparisonMetrics* metrics = nullptr;  // filled in when given
};

// Compares the roots and reports each directory as soon as the walk hands it over. Throws
// ScanFailed ("cannot scan ROOT: why", before anything is written) and RootNotResolved.
ScanOutcome report_comparison(const std::vector<std::string>& roots, const ComparisonScan& scan,
                              std::ostream& out);

}  // namespace quelmar::profile_logs::report
