#include "quelmar/profile_logs/repair.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "profile_logs/beneath.hpp"
#include "profile_logs/safe_copy.hpp"

namespace quelmar::profile_logs::repair {

namespace {

using detail::CopyOutcome;
using util::UniqueFd;

// Days of one target directory per job: enough to share its descriptors, few
// enough that one large directory still spreads over every worker.
constexpr std::size_t kDaysPerJob = 16;

struct Candidate {
  std::size_t replica;
  std::string name;
};

// The files that repair one lacking day: the sources first, then the stand-ins
// of later replicas, in the order of the roots.
struct DayCopy {
  Date day;
  std::vector<Candidate> candidates;
};

struct Job {
  std::size_t directory;  // index into Plan::directories
  std::size_t target;
  std::size_t written_flag;  // index into Plan::written
  std::vector<DayCopy> days;
};

struct Plan {
  std::uint64_t files = 0;
  std::vector<std::string> directories;
  std::vector<Job> jobs;
  std::size_t target_directories = 0;
};

UniqueFd open_root(const std::filesystem::path& root) {
  int fd;
  do {
    fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

std::error_code last_error() { return {errno, std::generic_category()}; }

// Runs the copies of a plan on `parallel` threads.
class Copier {
 public:
  Copier(const Plan& plan, const std::vector<UniqueFd>& roots, RepairReport& report,
         RepairSummary& summary)
      : plan_(plan),
        roots_(roots),
        report_(report),
        summary_(summary),
        written_(plan.target_directories, false),
        created_(roots.size()) {}

  void run(unsigned parallel) {
    std::vector<std::thread> threads;
    const std::size_t count = std::min<std::size_t>(parallel, plan_.jobs.size());
    for (std::size_t t = 1; t < count; ++t) {
      try {
        threads.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // fewer threads share the same jobs
      }
    }
    work();
    for (auto& thread : threads) thread.join();
    // Only now, when nothing more is copied into them, however the copies ended.
    for (std::size_t r = 0; r < created_.size(); ++r) {
      if (!created_[r].empty()) {
        detail::finish_directory_modes(roots_[r].get(), std::move(created_[r]));
      }
    }
    if (failure_) std::rethrow_exception(failure_);
    sync();
  }

 private:
  void work() {
    try {
      for (;;) {
        const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
        if (index >= plan_.jobs.size() || stop_.load(std::memory_order_relaxed)) return;
        run_job(plan_.jobs[index]);
      }
    } catch (...) {
      const std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      stop_ = true;
    }
  }

  void run_job(const Job& job) {
    const std::string& directory = plan_.directories[job.directory];
    const std::size_t first_source = job.days.front().candidates.front().replica;
    std::vector<detail::CreatedDirectory> created;
    UniqueFd target = detail::make_directories_beneath(
        roots_[job.target].get(), roots_[first_source].get(), directory, created);
    const std::string target_error =
        target.valid() ? std::string() : std::generic_category().message(errno);
    if (!created.empty()) {
      const std::lock_guard lock(mutex_);
      auto& all = created_[job.target];
      all.insert(all.end(), std::make_move_iterator(created.begin()),
                 std::make_move_iterator(created.end()));
    }
    if (target.valid()) remember_file_system(job.target, target.get());
    std::map<std::size_t, UniqueFd> sources;  // opened once per job and replica
    std::map<std::size_t, std::string> source_errors;
    const auto source_dir = [&](std::size_t replica) -> int {
      auto it = sources.find(replica);
      if (it == sources.end()) {
        UniqueFd fd =
            detail::open_beneath(roots_[replica].get(), directory, O_RDONLY | O_DIRECTORY);
        if (!fd.valid()) source_errors[replica] = std::generic_category().message(errno);
        it = sources.emplace(replica, std::move(fd)).first;
      }
      return it->second.get();
    };

    std::set<std::string_view> copied;  // names of the day already in place
    for (const DayCopy& day : job.days) {
      copied.clear();
      bool stand_in_needed = false;
      for (std::size_t c = 0; c < day.candidates.size(); ++c) {
        const Candidate& candidate = day.candidates[c];
        if (c > 0 && candidate.replica != day.candidates[c - 1].replica) {
          // The next replica only stands in for files that could not be read.
          if (!stand_in_needed) break;
          stand_in_needed = false;
        }
        if (copied.contains(candidate.name)) continue;
        const FileRef source{candidate.replica, directory, candidate.name};
        const FileRef target_file{job.target, directory, candidate.name};
        if (!target.valid()) {
          not_copied(source, target_file, target_error);
          continue;
        }
        const int dir = source_dir(candidate.replica);
        CopyOutcome outcome = dir >= 0
                                  ? detail::copy_file_between(dir, target.get(), candidate.name)
                                  : CopyOutcome{CopyOutcome::Kind::kSourceUnusable, 0,
                                                source_errors[candidate.replica]};
        switch (outcome.kind) {
          case CopyOutcome::Kind::kCopied:
            copied.insert(candidate.name);
            copied_one(job, outcome.bytes);
            break;
          case CopyOutcome::Kind::kSourceUnusable:
            stand_in_needed = true;
            skipped(source, outcome.reason);
            break;
          case CopyOutcome::Kind::kFailed:
            not_copied(source, target_file, outcome.reason);
            break;
        }
      }
    }
  }

  void copied_one(const Job& job, std::uint64_t bytes) {
    const std::lock_guard lock(mutex_);
    ++summary_.files;
    summary_.bytes += bytes;
    if (!written_[job.written_flag]) {
      written_[job.written_flag] = true;
      ++summary_.directories;
    }
    report_.progress(summary_.files, summary_.bytes);
  }

  void skipped(const FileRef& source, std::string_view reason) {
    const std::lock_guard lock(mutex_);
    ++summary_.not_copied;
    report_.skipped_source(source, reason);
  }

  void not_copied(const FileRef& source, const FileRef& target, std::string_view reason) {
    const std::lock_guard lock(mutex_);
    ++summary_.not_copied;
    report_.not_copied(source, target, reason);
  }

  // One descriptor per file system written to, for its syncfs.
  void remember_file_system(std::size_t replica, int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    const std::lock_guard lock(mutex_);
    if (file_systems_.contains(st.st_dev)) return;
    file_systems_.emplace(st.st_dev, std::make_pair(replica, UniqueFd(::dup(fd))));
  }

  void sync() {
    for (const auto& [dev, entry] : file_systems_) {
      const auto& [replica, fd] = entry;
      if (fd.valid() && ::syncfs(fd.get()) == 0) continue;
      summary_.synced = false;
      report_.not_synced(replica, std::generic_category().message(errno));
    }
  }

  const Plan& plan_;
  const std::vector<UniqueFd>& roots_;
  RepairReport& report_;
  RepairSummary& summary_;
  std::mutex mutex_;
  std::vector<bool> written_;
  std::vector<std::vector<detail::CreatedDirectory>> created_;  // per replica
  std::map<dev_t, std::pair<std::size_t, UniqueFd>> file_systems_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::exception_ptr failure_;
};

// Adds the copies of one directory to the plan, a job per target and run of days.
void plan_directory(const replicas::DirectoryComparison& d, RepairReport& report, bool dry_run,
                    Plan& plan, RepairSummary& summary) {
  bool has_copies = false;
  std::size_t last_target = SIZE_MAX;
  replicas::for_each_copy(d, [&](std::size_t target, Date day, auto sources, auto alternatives) {
    if (sources.empty()) {
      ++summary.not_copied;
      report.no_source(target, d.directory, day);
      return;
    }
    if (dry_run) {
      for (const auto& source : sources) {
        ++summary.files;
        report.would_copy({source.replica, d.directory, source.name},
                          {target, d.directory, source.name});
      }
      return;
    }
    if (!has_copies) {
      plan.directories.emplace_back(d.directory);
      has_copies = true;
    }
    if (target != last_target) {
      last_target = target;
      ++plan.target_directories;
    }
    if (plan.jobs.empty() || plan.jobs.back().directory != plan.directories.size() - 1 ||
        plan.jobs.back().target != target || plan.jobs.back().days.size() == kDaysPerJob) {
      plan.jobs.push_back({plan.directories.size() - 1, target, plan.target_directories - 1, {}});
    }
    DayCopy copy{day, {}};
    plan.files += sources.size();
    for (const auto* run : {&sources, &alternatives}) {
      for (const auto& source : *run) {
        copy.candidates.push_back({source.replica, std::string(source.name)});
      }
    }
    plan.jobs.back().days.push_back(std::move(copy));
  });
}

// Removes the temporary files that an earlier repair, cut short, left behind.
void remove_leftovers(const replicas::DirectoryComparison& d, const std::vector<UniqueFd>& roots,
                      RepairSummary& summary) {
  for (const auto& leftover : d.leftovers) {
    if (!detail::is_temporary_name(leftover.name)) continue;
    const UniqueFd dir =
        detail::open_beneath(roots[leftover.replica].get(), d.directory, O_RDONLY | O_DIRECTORY);
    if (!dir.valid()) continue;
    const std::string name(leftover.name);
    if (::unlinkat(dir.get(), name.c_str(), 0) == 0) ++summary.leftovers_removed;
  }
}

}  // namespace

std::optional<replicas::RootError> repair_replicas(const std::vector<std::filesystem::path>& roots,
                                                   const RepairOptions& options,
                                                   RepairReport& report, RepairSummary& summary) {
  if (roots.size() < 2 || roots.size() > replicas::MAX_REPLICAS) {
    throw std::invalid_argument("a repair takes 2 to " + std::to_string(replicas::MAX_REPLICAS) +
                                " replicas");
  }
  if (options.parallel < 1 || options.parallel > MAX_PARALLEL) {
    throw std::invalid_argument("a repair runs 1 to " + std::to_string(MAX_PARALLEL) +
                                " copies at a time");
  }
  summary = RepairSummary{};
  std::vector<UniqueFd> root_fds;
  std::set<std::pair<dev_t, ino_t>> locked;
  for (std::size_t r = 0; r < roots.size(); ++r) {
    root_fds.push_back(open_root(roots[r]));
    if (!root_fds.back().valid()) return replicas::RootError{r, last_error()};
    if (options.dry_run) continue;
    // One repair at a time: the leftovers of another one still running are its live copies.
    struct stat st {};
    if (::fstat(root_fds.back().get(), &st) != 0) return replicas::RootError{r, last_error()};
    if (!locked.insert({st.st_dev, st.st_ino}).second) continue;
    // Some network file systems cannot lock a directory: the repair goes on unguarded there.
    if (::flock(root_fds.back().get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      return replicas::RootError{r, last_error()};
    }
  }

  replicas::CompareOptions compare = options.compare;
  compare.sources = true;
  compare.alternatives = !options.dry_run;
  compare.leftover_prefix = options.dry_run ? std::string_view() : TEMPORARY_PREFIX;
  Plan plan;
  const auto error =
      replicas::compare_replicas(roots, compare, [&](const replicas::DirectoryComparison& d) {
        remove_leftovers(d, root_fds, summary);
        for (const auto& lack : d.lacking) summary.lacking_days += lack.days.size();
        summary.lost_days += d.lost.size();
        if (!d.unreadable.empty()) {
          ++summary.unreadable_directories;
          report.unreadable(d.directory, d.unreadable);
        }
        plan_directory(d, report, options.dry_run, plan, summary);
        return true;
      });
  if (error) return error;
  if (options.dry_run) return std::nullopt;
  report.planned(plan.files);
  Copier(plan, root_fds, report, summary).run(options.parallel);
  return std::nullopt;
}

}  // namespace quelmar::profile_logs::repair
