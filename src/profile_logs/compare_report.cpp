#include "quelmar/profile_logs/compare_report.hpp"

#include <filesystem>
#include <system_error>
#include <utility>

#include "profile_logs/replica_paths.hpp"
#include "quelmar/util/escape.hpp"

namespace quelmar::profile_logs::report {

namespace {

// The copy list holds absolute paths, so that it works from any directory.
std::string absolute_root(const std::string& root) {
  std::error_code error;
  std::string path = std::filesystem::absolute(root, error).string();
  if (error) throw RootNotResolved("cannot resolve " + root + ": " + error.message());
  return trimmed_root(std::move(path));
}

}  // namespace

CompareReport::CompareReport(std::ostream& out, const std::vector<std::string>& roots,
                             CompareFormat format, dunmere::DateRange range)
    : out_(out), format_(format), range_(range), replica_count_(roots.size()) {
  for (const auto& root : roots) {
    if (format_ == CompareFormat::kText) roots_.push_back(util::escape_for_terminal(root));
    if (format_ == CompareFormat::kCopyList) roots_.push_back(absolute_root(root));
  }
  if (format_ == CompareFormat::kJson) {
    // Held in the block until the first directory flushes it.
    out_ << "{\"replicas\":[";
    for (std::size_t i = 0; i < roots.size(); ++i) {
      out_ << (i == 0 ? "" : ",") << json_key(roots[i]);
    }
    out_ << "],\"directories\":[";
  }
}

bool CompareReport::add(const replicas::DirectoryComparison& d) {
  switch (format_) {
    case CompareFormat::kText:
      add_text(d);
      break;
    case CompareFormat::kJson:
      add_json(d);
      break;
    case CompareFormat::kCopyList:
      add_copies(d);
      break;
  }
  ++directories_;
  for (const auto& lack : d.lacking) lacking_days_ += lack.days.size();
  lost_days_ += d.lost.size();
  if (!d.unreadable.empty()) ++unreadable_;
  failed_ = failed_ || !out_.flush();
  return !failed_;
}

bool CompareReport::finish() {
  if (failed_ || !out_.flush()) return false;
  if (format_ == CompareFormat::kJson) {
    out_ << "],\"summary\":{\"directories\":" << directories_
         << ",\"lacking_days\":" << lacking_days_ << ",\"lost_days\":" << lost_days_ << "}}\n";
  } else if (format_ == CompareFormat::kText) {
    write_summary();
  }
  return out_.flush();
}

void CompareReport::add_text(const replicas::DirectoryComparison& d) {
  const std::string dir = util::escape_for_terminal(d.directory);
  for (const auto& lack : d.lacking) {
    out_ << dir << ": lacking in " << roots_[lack.replica] << ": ";
    write_runs(out_, lack.days);
  }
  if (!d.lost.empty()) {
    out_ << dir << ": lost: ";
    write_runs(out_, d.lost);
  }
  if (!d.unreadable.empty()) {
    out_ << dir << ": unreadable in ";
    for (std::size_t i = 0; i < d.unreadable.size(); ++i) {
      out_ << (i == 0 ? "" : ", ") << roots_[d.unreadable[i]];
    }
    out_ << "\n";
  }
}

void CompareReport::add_json(const replicas::DirectoryComparison& d) {
  out_ << (directories_ == 0 ? "" : ",") << "{\"directory\":" << json_key(d.directory)
       << ",\"lacking\":[";
  for (std::size_t i = 0; i < d.lacking.size(); ++i) {
    out_ << (i == 0 ? "" : ",") << "{\"replica\":" << std::uint64_t{d.lacking[i].replica}
         << ",\"days\":";
    write_json_days(out_, d.lacking[i].days);
    out_ << "}";
  }
  out_ << "],\"lost\":";
  write_json_days(out_, d.lost);
  out_ << ",\"unreadable\":[";
  for (std::size_t i = 0; i < d.unreadable.size(); ++i) {
    out_ << (i == 0 ? "" : ",") << std::uint64_t{d.unreadable[i]};
  }
  out_ << "]}";
}

void CompareReport::add_copies(const replicas::DirectoryComparison& d) {
  replicas::for_each_copy(d, [&](std::size_t target, dunmere::Date, auto sources, auto) {
    for (const auto& source : sources) {
      out_ << path_below(roots_[source.replica], d.directory) << '/' << source.name << '\0'
           << path_below(roots_[target], d.directory) << '\0';
    }
  });
}

void CompareReport::write_summary() {
  if (directories_ == 0) {
    out_ << "nothing lacking, lost or unreadable in ";
  } else {
    out_ << lacking_days_ << plural(lacking_days_, " day", " days") << " lacking, " << lost_days_
         << plural(lost_days_, " day", " days") << " lost in " << directories_
         << plural(directories_, " directory", " directories");
    if (unreadable_ > 0) out_ << ", " << unreadable_ << " unreadable in some replica,";
    out_ << " for ";
  }
  write_range(out_, range_.from, range_.to);
  out_ << " across " << std::uint64_t{replica_count_} << " replicas\n";
}

ScanOutcome report_comparison(const std::vector<std::string>& roots, const ComparisonScan& scan,
                              std::ostream& out) {
  CompareReport report(out, roots, scan.format, {scan.compare.start_date, scan.compare.end_date});
  replicas::CompareOptions compare = scan.compare;
  compare.sources = compare.sources || scan.format == CompareFormat::kCopyList;
  const std::vector<std::filesystem::path> paths(roots.begin(), roots.end());
  const auto error =
      replicas::compare_replicas(paths, compare, [&](const replicas::DirectoryComparison& d) {
        if (scan.metrics != nullptr) scan.metrics->add_directory(d);
        return report.add(d);
      });
  if (error) {
    throw ScanFailed("cannot scan " + roots[error->replica] + ": " + error->error.message());
  }
  if (!report.finish()) return ScanOutcome::kOutputFailed;
  return report.directories() == 0 ? ScanOutcome::kComplete : ScanOutcome::kGaps;
}

}  // namespace quelmar::profile_logs::report
