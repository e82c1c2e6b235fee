#include "quelmar/profile_logs/repair.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "profile_logs/beneath.hpp"
#include "profile_logs/safe_copy.hpp"
#include "support/temp_dir.hpp"
#include "support/unprivileged.hpp"

namespace {

namespace fs = std::filesystem;
namespace repair = quelmar::profile_logs::repair;
namespace replicas = quelmar::profile_logs::replicas;
using quelmar::profile_logs::detail::copy_file_between;
using quelmar::profile_logs::detail::CopyMethod;
using quelmar::profile_logs::detail::CopyOutcome;
using quelmar::profile_logs::detail::create_directory_like;
using quelmar::profile_logs::detail::open_beneath;
using quelmar::profile_logs::detail::Resolution;
using repair::Date;
using ::testing::HasSubstr;

Date september(unsigned d) {
  return Date{std::chrono::year{2021}, std::chrono::month{9}, std::chrono::day{d}};
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Everything the repair says, as lines.
class RecordingReport : public repair::RepairReport {
 public:
  std::function<void()> on_planned;
  std::vector<std::string> lines;

  void planned(std::uint64_t) override {
    if (on_planned) on_planned();
  }
  void skipped_source(const repair::FileRef& source, std::string_view reason) override {
    lines.push_back("skipped " + std::to_string(source.replica) + ":" + std::string(source.name) +
                    ": " + std::string(reason));
  }
  void not_copied(const repair::FileRef&, const repair::FileRef& target,
                  std::string_view reason) override {
    lines.push_back("not copied " + std::to_string(target.replica) + ":" +
                    std::string(target.directory) + "/" + std::string(target.name) + ": " +
                    std::string(reason));
  }
  void no_source(std::size_t target, std::string_view directory, Date) override {
    lines.push_back("no source " + std::to_string(target) + ":" + std::string(directory));
  }
};

class Repair : public ::testing::Test {
 public:
  void SetUp() override { root_ = quelmar::testing::make_temp_dir("quelmar-repair"); }
  void TearDown() override { fs::remove_all(root_); }

  fs::path replica(int r) const { return root_ / ("r" + std::to_string(r)); }
  // The file of day `d` of September 2021 in `dir` of replica r.
  fs::path day_file(int r, const std::string& dir, unsigned d) const {
    return replica(r) / dir / ("S-A-2021090" + std::to_string(d) + ".csv");
  }
  std::vector<fs::path> roots() const { return {replica(0), replica(1), replica(2)}; }

  repair::RepairSummary run(RecordingReport& report, unsigned parallel = 4) {
    for (int r = 0; r < 3; ++r) fs::create_directories(replica(r));
    repair::RepairOptions options{.compare = {.start_date = september(1), .end_date = september(4)},
                                  .parallel = parallel};
    repair::RepairSummary summary;
    const auto error = repair::repair_replicas(roots(), options, report, summary);
    EXPECT_FALSE(error);
    return summary;
  }

  // Days still lacking somewhere, as compare would report them.
  std::uint64_t lacking_after() const {
    std::uint64_t lacking = 0;
    replicas::compare_replicas(roots(), {.start_date = september(1), .end_date = september(4)},
                               [&](const replicas::DirectoryComparison& d) {
                                 for (const auto& lack : d.lacking) lacking += lack.days.size();
                                 return true;
                               });
    return lacking;
  }

  fs::path root_;
};

// Each case: a tree, a change made between the comparison and the copies, and
// what must hold afterwards.
struct SafetyCase {
  const char* name;
  std::function<void(Repair&)> setup;
  std::function<void(Repair&)> meanwhile;
  std::function<void(Repair&, const repair::RepairSummary&, const RecordingReport&)> check;
};

TEST_F(Repair, SafetyCases) {
  const fs::path outside = root_ / "outside";
  const std::vector<SafetyCase> cases{
      {"source swapped for a link: a later replica's file stands in",
       [&](Repair& t) {
         write_file(t.day_file(0, "m", 1), "from r0");
         write_file(t.day_file(2, "m", 1), "from r2");
         write_file(outside / "secret", "secret");
       },
       [&](Repair& t) {
         fs::remove(t.day_file(0, "m", 1));
         fs::create_symlink(outside / "secret", t.day_file(0, "m", 1));
       },
       [&](Repair& t, const repair::RepairSummary& s, const RecordingReport& report) {
         EXPECT_EQ(read_file(t.day_file(1, "m", 1)), "from r2");
         EXPECT_EQ(s.files, 1U);
         EXPECT_EQ(s.not_copied, 1U);
         ASSERT_EQ(report.lines.size(), 1U);
         EXPECT_THAT(report.lines[0], HasSubstr("skipped 0:S-A-20210901.csv"));
       }},
      {"source swapped for a FIFO: skipped without waiting for a writer",
       [&](Repair& t) {
         write_file(t.day_file(0, "m", 1), "from r0");
         fs::create_directories(t.replica(2) / "m");
       },
       [&](Repair& t) {
         fs::remove(t.day_file(0, "m", 1));
         ASSERT_EQ(::mkfifo(t.day_file(0, "m", 1).c_str(), 0644), 0);
       },
       [&](Repair& t, const repair::RepairSummary& s, const RecordingReport& report) {
         EXPECT_FALSE(fs::exists(t.day_file(1, "m", 1)));
         EXPECT_EQ(s.files, 0U);
         EXPECT_EQ(s.not_copied, 2U);  // one source, two targets
         EXPECT_THAT(report.lines, ::testing::Each(HasSubstr("not a regular file")));
         EXPECT_FALSE(s.complete());
       }},
      {"a FIFO when compared is never a source",
       [&](Repair& t) {
         fs::create_directories(t.replica(0) / "m");
         ASSERT_EQ(::mkfifo(t.day_file(0, "m", 1).c_str(), 0644), 0);
         write_file(t.day_file(1, "m", 1), "from r1");
       },
       [](Repair&) {},
       [&](Repair& t, const repair::RepairSummary& s, const RecordingReport& report) {
         EXPECT_EQ(read_file(t.day_file(2, "m", 1)), "from r1");
         EXPECT_TRUE(fs::is_fifo(t.day_file(0, "m", 1)));
         EXPECT_EQ(s.files, 1U);
         EXPECT_TRUE(report.lines.empty());
       }},
      {"target directory swapped for a link: nothing written through it",
       [&](Repair& t) {
         write_file(t.day_file(0, "site/m", 1), "from r0");
         write_file(t.day_file(0, "site/m", 2), "from r0");
         write_file(t.day_file(1, "site/m", 2), "from r1");
         write_file(t.day_file(2, "site/m", 1), "from r2");
         write_file(t.day_file(2, "site/m", 2), "from r2");
         fs::create_directories(outside / "m");
       },
       [&](Repair& t) {
         fs::rename(t.replica(1) / "site/m", root_ / "moved");
         fs::create_symlink(outside / "m", t.replica(1) / "site/m");
       },
       [&](Repair&, const repair::RepairSummary& s, const RecordingReport& report) {
         EXPECT_TRUE(fs::is_empty(outside / "m"));
         EXPECT_EQ(s.not_copied, 1U);
         EXPECT_THAT(report.lines, ::testing::ElementsAre(HasSubstr("not copied 1:site/m/")));
       }},
      {"a directory above the target swapped for a link",
       [&](Repair& t) {
         write_file(t.day_file(0, "site/m", 1), "from r0");
         write_file(t.day_file(2, "site/m", 1), "from r2");
         fs::create_directories(t.replica(1) / "site");
         fs::create_directories(outside / "m");
       },
       [&](Repair& t) {
         fs::remove(t.replica(1) / "site");
         fs::create_symlink(outside, t.replica(1) / "site");
       },
       [&](Repair&, const repair::RepairSummary& s, const RecordingReport&) {
         EXPECT_TRUE(fs::is_empty(outside / "m"));
         EXPECT_EQ(s.files, 0U);
         EXPECT_EQ(s.not_copied, 1U);
       }},
      {"a file that appears meanwhile is never replaced",
       [&](Repair& t) {
         write_file(t.day_file(0, "m", 1), "from r0");
         write_file(t.day_file(2, "m", 1), "from r2");
       },
       [&](Repair& t) { write_file(t.day_file(1, "m", 1), "appeared"); },
       [&](Repair& t, const repair::RepairSummary& s, const RecordingReport& report) {
         EXPECT_EQ(read_file(t.day_file(1, "m", 1)), "appeared");
         EXPECT_EQ(s.not_copied, 1U);
         EXPECT_THAT(report.lines, ::testing::ElementsAre(HasSubstr("File exists")));
         EXPECT_FALSE(s.complete());
       }},
      {"modes and times of files, modes of created directories",
       [&](Repair& t) {
         write_file(t.day_file(0, "site/m", 1), "from r0");
         write_file(t.day_file(2, "site/m", 1), "from r2");
         fs::permissions(t.replica(0) / "site", fs::perms(0750));
         fs::permissions(t.replica(0) / "site/m", fs::perms(0711));
         fs::permissions(t.day_file(0, "site/m", 1), fs::perms(0604));
         const struct timespec times[2] = {{1000000000, 5}, {1500000000, 123456789}};
         ASSERT_EQ(::utimensat(AT_FDCWD, t.day_file(0, "site/m", 1).c_str(), times, 0), 0);
       },
       [](Repair&) {},
       [&](Repair& t, const repair::RepairSummary& s, const RecordingReport&) {
         struct stat st {};
         ASSERT_EQ(::stat(t.day_file(1, "site/m", 1).c_str(), &st), 0);
         EXPECT_EQ(st.st_mode & 07777, 0604U);
         EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
         EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
         ASSERT_EQ(::stat((t.replica(1) / "site").c_str(), &st), 0);
         EXPECT_EQ(st.st_mode & 07777, 0750U);
         ASSERT_EQ(::stat((t.replica(1) / "site/m").c_str(), &st), 0);
         EXPECT_EQ(st.st_mode & 07777, 0711U);
         EXPECT_EQ(s.files, 1U);
         EXPECT_EQ(s.directories, 1U);
         EXPECT_EQ(s.bytes, 7U);
       }},
      {"temporary files of a repair cut short are removed, others kept",
       [&](Repair& t) {
         write_file(t.day_file(0, "m", 1), "x");
         write_file(t.day_file(1, "m", 1), "x");
         write_file(t.day_file(2, "m", 1), "x");
         write_file(t.replica(1) / "m/.quelmar-repair-0123456789abcdef.tmp", "half");
         write_file(t.replica(2) / ".quelmar-repair-fedcba9876543210.tmp", "half");
         write_file(t.replica(2) / ".quelmar-repair-notours.tmp", "kept");
       },
       [](Repair&) {},
       [&](Repair& t, const repair::RepairSummary& s, const RecordingReport&) {
         EXPECT_EQ(s.leftovers_removed, 2U);
         EXPECT_FALSE(fs::exists(t.replica(1) / "m/.quelmar-repair-0123456789abcdef.tmp"));
         EXPECT_TRUE(fs::exists(t.replica(2) / ".quelmar-repair-notours.tmp"));
         EXPECT_EQ(s.not_copied, 0U);
       }},
      {"a day no replica holds in a regular file",
       [&](Repair& t) {
         write_file(outside / "target", "t");
         fs::create_directories(t.replica(0) / "m");
         fs::create_symlink(outside / "target", t.day_file(0, "m", 1));
         write_file(t.day_file(1, "m", 2), "x");
         write_file(t.day_file(2, "m", 2), "x");
         write_file(t.day_file(0, "m", 2), "x");
       },
       [](Repair&) {},
       [&](Repair&, const repair::RepairSummary& s, const RecordingReport& report) {
         EXPECT_EQ(s.files, 0U);
         EXPECT_EQ(s.not_copied, 2U);
         EXPECT_THAT(report.lines, ::testing::Each(HasSubstr("no source")));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_);
    fs::create_directories(root_);
    c.setup(*this);
    RecordingReport report;
    report.on_planned = [&] { c.meanwhile(*this); };
    const auto summary = run(report);
    c.check(*this, summary, report);
    EXPECT_FALSE(fs::exists(outside / "m" / "S-A-20210901.csv"));
  }
}

TEST_F(Repair, EveryLackingFileArrivesWhateverTheParallelism) {
  for (const unsigned parallel : {1U, 64U}) {
    SCOPED_TRACE(parallel);
    fs::remove_all(root_);
    for (int m = 0; m < 12; ++m) {
      const std::string dir = "site-" + std::to_string(m % 3) + "/m" + std::to_string(m);
      for (unsigned d = 1; d <= 4; ++d) {
        const int holder = static_cast<int>((m + d) % 3);
        write_file(day_file(holder, dir, d), dir + std::to_string(d));
      }
    }
    write_file(day_file(0, "lost", 1), "x");  // day 2..4 lost
    RecordingReport report;
    const auto summary = run(report, parallel);
    EXPECT_EQ(summary.files, 12U * 4 * 2 + 2);
    EXPECT_EQ(summary.lost_days, 3U);
    EXPECT_FALSE(summary.complete());
    EXPECT_TRUE(report.lines.empty());
    EXPECT_EQ(lacking_after(), 0U);
    EXPECT_EQ(read_file(day_file(2, "site-1/m7", 3)), "site-1/m73");
  }
}

TEST_F(Repair, DryRunChangesNothingAndASecondRepairIsRefusedMeanwhile) {
  write_file(day_file(0, "m", 1), "x");
  fs::create_directories(replica(1));
  fs::create_directories(replica(2));
  struct Pairs : repair::RepairReport {
    std::vector<std::string> pairs;
    void would_copy(const repair::FileRef& source, const repair::FileRef& target) override {
      pairs.push_back(std::to_string(source.replica) + "->" + std::to_string(target.replica));
    }
  } pairs;
  repair::RepairSummary summary;
  repair::RepairOptions options{.compare = {.start_date = september(1), .end_date = september(1)},
                                .dry_run = true};
  EXPECT_FALSE(repair::repair_replicas(roots(), options, pairs, summary));
  EXPECT_THAT(pairs.pairs, ::testing::ElementsAre("0->1", "0->2"));
  EXPECT_FALSE(fs::exists(day_file(1, "m", 1)));

  // Another repair holds the lock on r1.
  const int held = ::open(replica(1).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  options.dry_run = false;
  const auto error = repair::repair_replicas(roots(), options, pairs, summary);
  ::close(held);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->replica, 1U);
  EXPECT_EQ(error->error, std::errc::resource_unavailable_try_again);
  EXPECT_FALSE(fs::exists(day_file(1, "m", 1)));
}

// Both ways of copying give the same bytes, across several reads and none.
TEST_F(Repair, BothCopyMethodsKeepEveryByte) {
  std::string large(300 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 % 251);
  write_file(root_ / "from/large", large);
  write_file(root_ / "from/empty", "");
  fs::create_directories(root_ / "to");
  const int from = ::open((root_ / "from").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int to = ::open((root_ / "to").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const auto method : {CopyMethod::kKernel, CopyMethod::kReadWrite}) {
    for (const std::string name : {"large", "empty"}) {
      SCOPED_TRACE(name + (method == CopyMethod::kKernel ? " (kernel)" : " (read/write)"));
      const auto outcome = copy_file_between(from, to, name, method);
      ASSERT_EQ(outcome.kind, CopyOutcome::Kind::kCopied) << outcome.reason;
      EXPECT_EQ(read_file(root_ / "to" / name), read_file(root_ / "from" / name));
      EXPECT_EQ(outcome.bytes, fs::file_size(root_ / "from" / name));
      fs::remove(root_ / "to" / name);
    }
  }
  EXPECT_TRUE(fs::is_empty(root_ / "to"));  // no temporary file left behind
  ::close(from);
  ::close(to);
}

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Directories the repair creates stay writable until the copies into them are
// done, and only then take the source's mode: a read-only source tree is
// repaired by its own unprivileged owner too.
TEST_F(Repair, ReadOnlySourceDirectoriesDoNotStopAnUnprivilegedRepair) {
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(root_.c_str(), 65534, 65534), 0);
  }
  const int status = quelmar::testing::run_unprivileged([&] {
    write_file(day_file(0, "site/m", 1), "m");
    write_file(day_file(0, "site/n", 2), "n");
    write_file(day_file(0, "site/o", 3), "o");  // cannot be read: the copies fail
    ::chmod(day_file(0, "site/o", 3).c_str(), 0);
    fs::create_directories(replica(1) / "site");  // exists: keeps its own mode
    for (const char* dir : {"site/m", "site/o", "site"}) ::chmod((replica(0) / dir).c_str(), 0555);
    ::chmod((replica(0) / "site/n").c_str(), 0500);
    RecordingReport report;
    const auto summary = run(report, 1);
    for (const auto& line : report.lines) std::fprintf(stderr, "%s\n", line.c_str());
    bool ok = summary.files == 4 && summary.not_copied == 2 && report.lines.size() == 2;
    ok = ok && read_file(day_file(1, "site/m", 1)) == "m" &&
         read_file(day_file(2, "site/n", 2)) == "n";
    ok = ok && mode_of(replica(1) / "site") == 0755 && mode_of(replica(2) / "site") == 0555;
    for (int r = 1; r <= 2; ++r) {
      ok = ok && mode_of(replica(r) / "site/m") == 0555 && mode_of(replica(r) / "site/n") == 0500 &&
           mode_of(replica(r) / "site/o") == 0555;
    }
    return ok ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  for (const auto& entry : fs::recursive_directory_iterator(root_)) {
    if (entry.is_directory()) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
    }
  }
}

// Mode and owner are given only to a directory this call made, never to one that
// someone else made between the look and the creation.
TEST_F(Repair, OnlyDirectoriesItMakesTakeTheSourcesModeAndOwner) {
  fs::create_directories(root_ / "to/theirs");
  ASSERT_EQ(::chmod((root_ / "to/theirs").c_str(), 0700), 0);
  struct stat before {};
  ASSERT_EQ(::stat((root_ / "to/theirs").c_str(), &before), 0);
  struct stat source {};
  source.st_mode = S_IFDIR | 0555;
  source.st_uid = 65534;
  source.st_gid = 65534;
  const int to = ::open((root_ / "to").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool created = true;
  EXPECT_TRUE(create_directory_like(to, "theirs", source, created).valid());
  EXPECT_FALSE(created);
  struct stat after {};
  ASSERT_EQ(::stat((root_ / "to/theirs").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);

  EXPECT_TRUE(create_directory_like(to, "ours", source, created).valid());
  EXPECT_TRUE(created);
  ASSERT_EQ(::stat((root_ / "to/ours").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0755U);  // writable until the copies are done
  if (::geteuid() == 0) {
    EXPECT_EQ(after.st_uid, 65534U);
  }
  ::close(to);
}

// A source that fails while being read is skipped like one that cannot be
// opened, so that another replica's file stands in; a target that cannot take
// the bytes stays a failed copy. Either way nothing is left behind.
TEST_F(Repair, ACopyTellsWhichSideFailed) {
  fs::create_directories(root_ / "to");
  const int to = ::open((root_ / "to").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A regular file whose first read fails with EIO: nothing is mapped at address 0.
  const int proc = ::open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(proc, 0);
  for (const auto method : {CopyMethod::kKernel, CopyMethod::kReadWrite}) {
    SCOPED_TRACE(method == CopyMethod::kKernel ? "kernel" : "read/write");
    const auto outcome = copy_file_between(proc, to, "mem", method);
    EXPECT_EQ(outcome.kind, CopyOutcome::Kind::kSourceUnusable);
    EXPECT_EQ(outcome.reason, std::generic_category().message(EIO));
    EXPECT_TRUE(fs::is_empty(root_ / "to"));
  }
  ::close(proc);

  write_file(root_ / "from/large", std::string(64 * 1024, 'x'));
  const int from = ::open((root_ / "from").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const auto method : {CopyMethod::kKernel, CopyMethod::kReadWrite}) {
    SCOPED_TRACE(method == CopyMethod::kKernel ? "kernel" : "read/write");
    // In a child: a file size limit the target cannot grow past.
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const struct rlimit limit { 4096, 4096 };
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
      const auto outcome = copy_file_between(from, to, "large", method);
      ::_exit(outcome.kind == CopyOutcome::Kind::kFailed &&
                      outcome.reason == std::generic_category().message(EFBIG)
                  ? 0
                  : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(fs::is_empty(root_ / "to"));
  }
  ::close(from);
  ::close(to);
}

// Both ways of opening below a root refuse the same things.
TEST_F(Repair, OpeningBelowARootNeverFollowsALink) {
  fs::create_directories(root_ / "base/a/b");
  write_file(root_ / "base/a/b/file", "x");
  write_file(root_ / "elsewhere/b/file", "x");
  fs::create_symlink(root_ / "elsewhere", root_ / "base/link");
  fs::create_symlink(root_ / "base/a/b/file", root_ / "base/a/b/file-link");
  const int base = ::open((root_ / "base").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(base, 0);
  struct Case {
    const char* path;
    int flags;
    bool opens;
  };
  const Case cases[] = {
      {"a/b/file", O_RDONLY, true},
      {"a/b", O_RDONLY | O_DIRECTORY, true},
      {".", O_RDONLY | O_DIRECTORY, true},
      {"link/b/file", O_RDONLY, false},         // a link on the way
      {"a/b/file-link", O_RDONLY, false},       // a link at the end
      {"link", O_RDONLY | O_DIRECTORY, false},  // a link to a directory
      {"a/../a/b/file", O_RDONLY, false},
      {"/etc/passwd", O_RDONLY, false},
      {"a//b", O_RDONLY | O_DIRECTORY, false},
      {"a/b/", O_RDONLY | O_DIRECTORY, false},
      {"", O_RDONLY, false},
  };
  for (const auto how : {Resolution::kKernel, Resolution::kComponentWalk}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.path) + (how == Resolution::kKernel ? " (kernel)" : " (walk)"));
      const auto fd = open_beneath(base, c.path, c.flags, how);
      EXPECT_EQ(fd.valid(), c.opens);
    }
  }
  ::close(base);
}

}  // namespace
