#include "quelmar/profile_logs/replicas.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quelmar/profile_logs/metrics.hpp"
#include "quelmar/util/escape.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace dunmere = quelmar::profile_logs::dunmere;
namespace replicas = quelmar::profile_logs::replicas;
namespace fs = std::filesystem;
using dunmere::Date;
using std::chrono::sys_days;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

Date ymd(int y, unsigned m, unsigned d) {
  return Date{std::chrono::year{y}, std::chrono::month{m}, std::chrono::day{d}};
}

const Date kFirst = ymd(2021, 2, 27);  // the range crosses a month end
constexpr int kRangeDays = 4;
const Date kLast = Date{sys_days{kFirst} + std::chrono::days{kRangeDays - 1}};

std::string dated_name(const std::string& prefix, int day_index) {
  const Date d{sys_days{kFirst} + std::chrono::days{day_index}};
  char name[64];
  std::snprintf(name, sizeof name, "%s-%04d%02u%02u.csv", prefix.c_str(),
                static_cast<int>(d.year()), static_cast<unsigned>(d.month()),
                static_cast<unsigned>(d.day()));
  return name;
}

int day_index(Date d) { return static_cast<int>((sys_days{d} - sys_days{kFirst}).count()); }

// ---------------------------------------------------------------- a second, naive model

// What one replica holds, found by plain std::filesystem recursion over paths.
struct ModelDirectory {
  bool has_dated = false;
  std::set<int> days;
  std::map<int, std::set<std::string>> regular;  // day -> regular dated files
};

struct ModelReplica {
  fs::path root;
  std::map<std::string, ModelDirectory> listed;
  std::set<std::string> unlistable;  // real directories that cannot be listed
};

std::string join(const std::string& rel, const std::string& name) {
  return rel == "." ? name : rel + "/" + name;
}

void model_walk(const fs::path& dir, const std::string& rel, ModelReplica& out) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    out.unlistable.insert(rel);
    return;
  }
  ModelDirectory info;
  std::vector<std::string> subdirs;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const auto st = it->symlink_status();
    if (fs::is_directory(st)) {
      subdirs.push_back(name);
      continue;
    }
    if (fs::is_symlink(st) && fs::is_directory(it->path(), ec)) continue;  // never examined
    const auto day = dunmere::extract_date_from_filename(name);
    if (!day) continue;
    info.has_dated = true;
    const int i = day_index(*day);
    if (i < 0 || i >= kRangeDays) continue;
    info.days.insert(i);
    if (fs::is_regular_file(st)) info.regular[i].insert(name);
  }
  out.listed[rel] = info;
  for (const auto& name : subdirs) model_walk(dir / name, join(rel, name), out);
}

enum class Seen { kListed, kAbsent, kUnreadable };

// Decided path prefix by path prefix, the way the rules are written.
Seen model_presence(const ModelReplica& replica, const std::string& rel) {
  if (rel == ".") return Seen::kListed;
  std::string prefix;
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(rel.find('/', start), rel.size());
    prefix = rel.substr(0, end);
    struct stat st {};
    if (::lstat((replica.root / prefix).c_str(), &st) != 0) {
      return errno == ENOENT ? Seen::kAbsent : Seen::kUnreadable;
    }
    if (!S_ISDIR(st.st_mode) || replica.unlistable.contains(prefix)) return Seen::kUnreadable;
    if (end == rel.size()) break;
    start = end + 1;
  }
  return Seen::kListed;
}

std::string show_days(const std::set<int>& days) {
  std::string out;
  for (const int d : days) out += std::to_string(d) + ",";
  return out;
}

// One line per reported directory, in byte order.
std::vector<std::string> model_compare(const std::vector<fs::path>& roots,
                                       const std::set<std::string>& expected) {
  std::vector<ModelReplica> models;
  std::set<std::string> candidates = expected;
  for (const auto& root : roots) {
    models.push_back({root, {}, {}});
    model_walk(root, ".", models.back());
    for (const auto& [rel, info] : models.back().listed) candidates.insert(rel);
  }
  // The root's own path is empty: it comes first.
  std::vector<std::string> ordered(candidates.begin(), candidates.end());
  std::stable_partition(ordered.begin(), ordered.end(), [](const auto& rel) { return rel == "."; });
  std::vector<std::string> lines;
  for (const auto& rel : ordered) {
    std::vector<Seen> seen;
    bool counts = expected.contains(rel);
    std::set<int> anywhere;
    for (const auto& model : models) {
      seen.push_back(model_presence(model, rel));
      if (seen.back() != Seen::kListed) continue;
      const auto& info = model.listed.at(rel);
      counts = counts || info.has_dated;
      anywhere.insert(info.days.begin(), info.days.end());
    }
    if (!counts) continue;
    std::string line = quelmar::util::escape_invalid_utf8(rel) + " |";
    std::set<int> needed;
    std::string unreadable;
    bool reported = false;
    for (std::size_t r = 0; r < models.size(); ++r) {
      if (seen[r] == Seen::kUnreadable) {
        unreadable += std::to_string(r) + ",";
        continue;
      }
      std::set<int> lacks = anywhere;
      if (seen[r] == Seen::kListed) {
        for (const int d : models[r].listed.at(rel).days) lacks.erase(d);
      }
      if (lacks.empty()) continue;
      line += " lacking " + std::to_string(r) + ":" + show_days(lacks);
      needed.insert(lacks.begin(), lacks.end());
      reported = true;
    }
    std::set<int> lost;
    if (unreadable.empty()) {
      for (int d = 0; d < kRangeDays; ++d) {
        if (!anywhere.contains(d)) lost.insert(d);
      }
    }
    line += " lost:" + show_days(lost) + " unreadable:" + unreadable + " sources:";
    for (const int d : needed) {
      for (std::size_t s = 0; s < models.size(); ++s) {
        if (seen[s] != Seen::kListed) continue;
        const auto& regular = models[s].listed.at(rel).regular;
        const auto it = regular.find(d);
        if (it == regular.end()) continue;
        for (const auto& name : it->second) {
          line += std::to_string(d) + "@" + std::to_string(s) + ":" +
                  quelmar::util::escape_invalid_utf8(name) + ",";
        }
        break;
      }
    }
    if (reported || !lost.empty() || !unreadable.empty()) lines.push_back(line);
  }
  return lines;
}

std::string show_days(const dunmere::DaySet& days) {
  std::set<int> indices;
  for (const Date d : days.days()) indices.insert(day_index(d));
  return show_days(indices);
}

// The library's answer, in the model's words.
std::vector<std::string> library_compare(const std::vector<fs::path>& roots,
                                         const std::set<std::string>& expected_paths) {
  dunmere::ExpectedDirectories expected;
  for (const auto& p : expected_paths) expected.add(p);
  std::vector<std::string> lines;
  const auto error = replicas::compare_replicas(
      roots, {.start_date = kFirst, .end_date = kLast, .expected = &expected, .sources = true},
      [&](const replicas::DirectoryComparison& d) {
        std::string line = quelmar::util::escape_invalid_utf8(d.directory) + " |";
        for (const auto& lack : d.lacking) {
          line += " lacking " + std::to_string(lack.replica) + ":" + show_days(lack.days);
        }
        line += " lost:" + show_days(d.lost) + " unreadable:";
        for (const auto r : d.unreadable) line += std::to_string(r) + ",";
        line += " sources:";
        // Within a day, in name order as the model has them.
        std::map<int, std::set<std::string>> by_day;
        std::map<int, std::size_t> from;
        for (const auto& s : d.sources) {
          by_day[day_index(s.day)].insert(quelmar::util::escape_invalid_utf8(s.name));
          from[day_index(s.day)] = s.replica;
        }
        for (const auto& [day, names] : by_day) {
          for (const auto& name : names) {
            line += std::to_string(day) + "@" + std::to_string(from[day]) + ":" + name + ",";
          }
        }
        lines.push_back(line);
        return true;
      });
  if (error) lines.push_back("root error " + std::to_string(error->replica));
  return lines;
}

// Runs `body` as "nobody" (when root) and returns what it wrote, read as it comes.
std::string unprivileged_output(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
    const std::string text = body();
    for (std::size_t off = 0; off < text.size();) {
      const ssize_t n = ::write(fds[1], text.data() + off, text.size() - off);
      if (n <= 0) ::_exit(98);
      off += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "\nchild failed";
  return text;
}

std::string lines_text(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// ---------------------------------------------------------------- fixture

class ReplicaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = quelmar::testing::make_temp_dir("replicas");
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
  }
  void TearDown() override {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root_, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_symlink())
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root_, ec);
  }

  void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path).flush();
  }

  fs::path root_;
};

// ---------------------------------------------------------------- differential

// Random small replica sets: directories absent, unlistable, links or files in
// some replicas; names that are not UTF-8 or sort around "/"; dated links, dated
// files out of the range, lost days; expected directories that exist nowhere.
class DifferentialTest : public ReplicaTest {
 protected:
  struct Case {
    std::vector<fs::path> roots;
    std::set<std::string> expected;
  };

  Case make_case(unsigned seed) {
    std::mt19937 rng(seed);
    const auto chance = [&rng](int percent) {
      return std::uniform_int_distribution<int>(0, 99)(rng) < percent;
    };
    const std::vector<std::string> names = {"a",    "a-b", "a.b",      "ab", "m-\xff",
                                            "m\n1", "-x",  "\xc3\xa9", "b c"};
    // The directories of the tree as a whole, parents before children.
    std::vector<std::string> tree;
    std::vector<std::string> parents = {"."};
    for (int depth = 0; depth < 3; ++depth) {
      std::vector<std::string> next;
      for (const auto& parent : parents) {
        for (const auto& name : names) {
          if (chance(depth == 0 ? 45 : 25)) next.push_back(join(parent, name));
        }
      }
      tree.insert(tree.end(), next.begin(), next.end());
      parents = next;
    }
    Case c;
    const fs::path base = root_ / ("case-" + std::to_string(seed));
    const int replica_count = 2 + static_cast<int>(seed % 2);
    for (int r = 0; r < replica_count; ++r) {
      const fs::path root = base / ("r" + std::to_string(r));
      fs::create_directories(root);
      c.roots.push_back(root);
      std::vector<fs::path> closed;
      const auto fill = [&](const fs::path& dir) {
        for (int d = 0; d < kRangeDays; ++d) {
          if (chance(75)) touch(dir / dated_name("S-A", d));
          if (chance(10)) touch(dir / dated_name("S-B", d));
        }
        if (chance(15)) touch(dir / "S-A-20200101.csv");  // dated, out of the range
        if (chance(15)) touch(dir / "notes.txt");
        if (chance(15)) {  // a dated link to a file: counts, but is never a source
          touch(dir / "target.bin");
          fs::create_symlink("target.bin", dir / dated_name("L", std::uniform_int_distribution<int>(
                                                                     0, kRangeDays - 1)(rng)));
        }
        if (chance(10))
          fs::create_directory_symlink(".", dir / dated_name("D", 0));  // not examined
      };
      fill(root);
      for (const auto& rel : tree) {
        const fs::path path = root / rel;
        if (!fs::is_directory(fs::symlink_status(path.parent_path()))) continue;
        const int roll = std::uniform_int_distribution<int>(0, 99)(rng);
        if (roll < 12) continue;  // absent here
        if (roll < 17) {
          fs::create_directory_symlink(root, path);
        } else if (roll < 21) {
          touch(path);  // a file where the others have a directory
        } else {
          fs::create_directories(path);
          fill(path);
          if (roll < 27) closed.push_back(path);
        }
      }
      for (const auto& path : closed) fs::permissions(path, fs::perms::none);
    }
    for (const auto& rel : tree) {
      if (chance(15)) c.expected.insert(rel);
    }
    if (chance(30)) c.expected.insert(".");
    if (chance(50)) c.expected.insert("ghost/m-\xfe");
    return c;
  }
};

TEST_F(DifferentialTest, AgreesWithANaiveModelOnRandomReplicaSets) {
  int reported = 0;
  for (unsigned seed = 1; seed <= 24; ++seed) {
    const Case c = make_case(seed);
    const std::string both = unprivileged_output([&] {
      return lines_text(library_compare(c.roots, c.expected)) + "--\n" +
             lines_text(model_compare(c.roots, c.expected));
    });
    const auto split = both.find("--\n");
    ASSERT_NE(split, std::string::npos) << both;
    EXPECT_EQ(both.substr(0, split), both.substr(split + 3)) << "seed " << seed;
    reported += static_cast<int>(std::count(both.begin(), both.begin() + split, '\n'));
  }
  EXPECT_GT(reported, 60);  // the cases really report something
}

// ---------------------------------------------------------------- particular rules

TEST_F(ReplicaTest, DirectoriesComeInByteOrderOfTheirPaths) {
  // "a" < "a-b" < "a-b/x" < "a/x" < "a0": a directory and its subtree are apart.
  for (const char* rel : {"a", "a/x", "a-b", "a-b/x", "a0", "a/x/\xff"}) {
    touch(root_ / "r0" / rel / "S-A-20210227.csv");
    fs::create_directories(root_ / "r1" / rel);
  }
  std::vector<std::string> order;
  replicas::compare_replicas({root_ / "r0", root_ / "r1"},
                             {.start_date = kFirst, .end_date = kFirst},
                             [&](const replicas::DirectoryComparison& d) {
                               order.emplace_back(d.directory);
                               return true;
                             });
  EXPECT_THAT(order, ElementsAre("a", "a-b", "a-b/x", "a/x", "a/x/\xff", "a0"));
}

TEST_F(ReplicaTest, ARootThatCannotBeListedFailsBeforeAnyVisit) {
  touch(root_ / "r0/S-A-20210226.csv");
  touch(root_ / "file");
  int visits = 0;
  const auto error = replicas::compare_replicas(
      {root_ / "r0", root_ / "file"}, {.start_date = kFirst, .end_date = kLast},
      [&](const replicas::DirectoryComparison&) { return ++visits, true; });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->replica, 1U);
  EXPECT_EQ(error->error, std::errc::not_a_directory);
  EXPECT_EQ(visits, 0);
  EXPECT_THROW(replicas::compare_replicas({}, {.start_date = kFirst, .end_date = kLast},
                                          [](const auto&) { return true; }),
               std::invalid_argument);
}

// A meter's days out of service are neither lacking nor lost, whatever the replicas hold;
// a directory of no meter is compared over the whole range.
TEST_F(ReplicaTest, DaysOutOfServiceAreNeverLackingOrLost) {
  for (int day = 0; day < kRangeDays; ++day) {
    touch(root_ / "r0/retired" / dated_name("S-A", day));
    touch(root_ / "r0/other" / dated_name("S-A", day));
  }
  fs::create_directories(root_ / "r1");
  dunmere::ExpectedDirectories expected;
  // In service on the second day only; "late" from the third day on, and never written.
  expected.add("retired", {.first = Date{sys_days{kFirst} + std::chrono::days{1}},
                           .last = Date{sys_days{kFirst} + std::chrono::days{1}}});
  expected.add("late", {.first = Date{sys_days{kFirst} + std::chrono::days{2}}});
  expected.add("gone", {.last = Date{sys_days{kFirst} - std::chrono::days{1}}});
  std::vector<std::string> lines;
  replicas::compare_replicas({root_ / "r0", root_ / "r1"},
                             {.start_date = kFirst, .end_date = kLast, .expected = &expected},
                             [&](const replicas::DirectoryComparison& d) {
                               std::string line(d.directory);
                               for (const auto& lack : d.lacking)
                                 line += " lacking:" + show_days(lack.days);
                               line += " lost:" + show_days(d.lost);
                               lines.push_back(line);
                               return true;
                             });
  EXPECT_THAT(lines, ElementsAre("late lost:" + show_days(std::set<int>{2, 3}),
                                 "other lacking:" + show_days(std::set<int>{0, 1, 2, 3}) +
                                     " lost:" + show_days(std::set<int>{}),
                                 "retired lacking:" + show_days(std::set<int>{1}) +
                                     " lost:" + show_days(std::set<int>{})));
}

// The replicas label reads plainly and never gives two different lists one value.
// A root compared with itself under another name would never lack anything.
TEST_F(ReplicaTest, OneDirectoryGivenTwiceIsFoundByWhatItIsNotByName) {
  fs::create_directories(root_ / "a");
  fs::create_directories(root_ / "b");
  fs::create_directory_symlink(root_ / "a", root_ / "link");
  const std::string a = (root_ / "a").string();
  const std::string b = (root_ / "b").string();
  using Pair = std::pair<std::size_t, std::size_t>;
  EXPECT_EQ(replicas::same_directory_twice({a, b}), std::nullopt);
  EXPECT_EQ(replicas::same_directory_twice({b, a, a + "/"}), Pair(1, 2));
  EXPECT_EQ(replicas::same_directory_twice({a, b, (root_ / "link").string()}), Pair(0, 2));
  EXPECT_EQ(replicas::same_directory_twice({a, b, (root_ / "b/../a").string()}), Pair(0, 2));
  // Roots that cannot be examined are left to the scan, which names them.
  const std::string absent = (root_ / "absent").string();
  EXPECT_EQ(replicas::same_directory_twice({absent, absent, a}), std::nullopt);
}

TEST(ReplicasLabel, NamesEveryRootInOrderUnambiguously) {
  using quelmar::profile_logs::metrics::replicas_label;
  EXPECT_EQ(replicas_label({"/srv/a", "/srv/b"}), "/srv/a,/srv/b");
  const std::vector<std::vector<std::string>> lists = {
      {"a,b"},  {"a", "b"}, {"b", "a"}, {"a\\x2cb"}, {"a\\", "b"}, {"a\\,b"},
      {"", ""}, {","},      {""},       {"a\xff"},   {"a\\xff"},   {"a", "b", ""}};
  std::set<std::string> values;
  for (const auto& list : lists) EXPECT_TRUE(values.insert(replicas_label(list)).second);
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

TEST_F(ReplicaTest, DeepTreesKeepDescriptorsBoundedAcrossReplicas) {
  // At each of 120 levels "d" and "d-" beside it: in byte order "d" is listed,
  // then "d-" and its file, and only then the subtree of "d", which must be
  // found again by name, in each of the three replicas.
  constexpr int kDepth = 120;
  std::vector<std::string> leaves;
  for (int r = 0; r < 3; ++r) {
    int fd = ::open((root_).c_str(), O_RDONLY | O_DIRECTORY);
    const std::string name = "r" + std::to_string(r);
    ::mkdirat(fd, name.c_str(), 0755);
    int level = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    std::string rel;
    for (int i = 0; i < kDepth; ++i) {
      ::mkdirat(level, "d-", 0755);
      if (r != 1) {  // replica 1 lacks every leaf's file
        const int leaf = ::openat(level, "d-", O_RDONLY | O_DIRECTORY);
        ::close(::openat(leaf, "S-A-20210227.csv", O_CREAT | O_WRONLY, 0644));
        ::close(leaf);
      }
      if (r == 0) leaves.push_back(rel.empty() ? "d-" : rel + "/d-");
      ::mkdirat(level, "d", 0755);
      const int next = ::openat(level, "d", O_RDONLY | O_DIRECTORY);
      ::close(level);
      level = next;
      rel += rel.empty() ? "d" : "/d";
    }
    ::close(level);
  }
  const std::size_t before = open_descriptors();
  std::size_t most = 0;
  std::vector<std::string> reported;
  replicas::compare_replicas({root_ / "r0", root_ / "r1", root_ / "r2"},
                             {.start_date = kFirst, .end_date = kFirst},
                             [&](const replicas::DirectoryComparison& d) {
                               if (reported.size() % 25 == 0)
                                 most = std::max(most, open_descriptors());
                               reported.emplace_back(d.directory);
                               EXPECT_EQ(d.lacking.size(), 1U);
                               EXPECT_EQ(d.lacking.at(0).replica, 1U);
                               return true;
                             });
  EXPECT_LE(most, before + 70);
  EXPECT_EQ(open_descriptors(), before);
  std::sort(leaves.begin(), leaves.end());
  EXPECT_EQ(reported, leaves);  // all of them, and already in byte order
}

}  // namespace
