// What a repair says on the console: the dry run's copies on stdout, every problem on stderr
// ("quelmar: ..."), on a terminal a progress line, and the summary at the end.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quelmar/profile_logs/metrics.hpp"
#include "quelmar/profile_logs/repair.hpp"
#include "quelmar/profile_logs/report.hpp"
#include "quelmar/util/clock.hpp"

namespace quelmar::profile_logs::repair {

class ConsoleRepairReport : public RepairReport {
 public:
  // `roots` as the operator gave them; every name printed is escaped for a terminal. The
  // progress line is drawn only when `err_is_terminal`, at most every PROGRESS_INTERVAL of
  // `clock`, which also times the copy rate.
  ConsoleRepairReport(const std::vector<std::string>& roots, report::BlockWriter& out,
                      std::ostream& err, bool err_is_terminal, const util::Clock& clock = {});

  static constexpr std::chrono::milliseconds PROGRESS_INTERVAL{100};

  void would_copy(const FileRef& source, const FileRef& target) override;
  void skipped_source(const FileRef& source, std::string_view reason) override;
  void not_copied(const FileRef& source, const FileRef& target, std::string_view reason) override;
  void no_source(std::size_t target, std::string_view directory, Date day) override;
  void unreadable(std::string_view directory, std::span<const std::size_t> replicas) override;
  void not_synced(std::size_t replica, std::string_view reason) override;
  void planned(std::uint64_t files) override { planned_ = files; }
  void progress(std::uint64_t files, std::uint64_t bytes) override;

  // Leaves the progress line, if one was drawn, with its final figures.
  void finish(std::uint64_t files, std::uint64_t bytes);

 private:
  std::string path(const FileRef& file) const;
  void problem(const std::string& line);
  void draw(std::uint64_t files, std::uint64_t bytes);

  std::vector<std::string> roots_;
  report::BlockWriter& out_;
  std::ostream& err_;
  bool err_is_terminal_;
  util::Clock clock_;
  std::chrono::steady_clock::time_point started_;
  std::optional<std::chrono::steady_clock::time_point> last_drawn_;
  std::size_t line_width_ = 0;
  std::uint64_t planned_ = 0;
  bool drawn_ = false;
};

// "repaired N files (B bytes) in D directories; M could not be copied; L days lost", one fixed
// form, plural or not, for scripts that read it.
void write_repair_summary(report::BlockWriter& out, const RepairSummary& summary);

struct ConsoleRepair {
  RepairOptions options;
  bool err_is_terminal = false;                         // a progress line on stderr
  metrics::ComparisonMetrics* metrics_after = nullptr;  // the comparison after the repair
};

// Repairs the roots, saying on the console what it does (ConsoleRepairReport), then the summary
// unless it is a dry run. kGaps: something could not be repaired, or in a dry run something is
// lacking, lost or unreadable. Throws report::ScanFailed: "cannot scan ROOT: why", "another
// repair is working on ROOT".
report::ScanOutcome repair_on_console(const std::vector<std::string>& roots,
                                      const ConsoleRepair& run, std::ostream& out,
                                      std::ostream& err);

}  // namespace quelmar::profile_logs::repair
