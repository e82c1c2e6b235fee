// Writes the benchmark's trees, deterministic so that every run measures the same:
// - ROOT PARENTS DIRS DAYS: PARENTS x DIRS replica directories of empty daily
//   files, with a few days missing and some names that carry no date;
// - --comb ROOT DEPTH: at each level a continuation directory "c", created first,
//   and a leaf directory "l" with one dated file; far deeper than a path can be,
//   so it is built one level at a time through descriptors;
// - --sparse ROOT DIRS: DIRS directories with one dated file each, for a scan of
//   a range where nearly every day is missing;
// - --replica-set ROOT DIRS: three replicas ROOT/r0..r2 of DIRS directories (100
//   per parent) with one or two dated files each in 2020-2021, different in each
//   replica, for a comparison over two years where nearly every day is lost;
// - --repair-set ROOT DIRS DAYS BYTES: two equal replicas ROOT/r0 and ROOT/r1 of
//   DIRS directories (100 per parent) holding DAYS daily files of BYTES bytes
//   each, for a repair into a third replica that lacks them all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void touch_at(int dir_fd, const char* name) {
  ::close(::openat(dir_fd, name, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
}

int make_comb(const std::string& root, long depth) {
  ::mkdir(root.c_str(), 0755);
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (long level = 0; level < depth && fd >= 0; ++level) {
    ::mkdirat(fd, "c", 0755);
    ::mkdirat(fd, "l", 0755);
    const int leaf = ::openat(fd, "l", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    touch_at(leaf, "SN000001-A-20210901.csv");
    ::close(leaf);
    const int next = ::openat(fd, "c", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  if (fd < 0) {
    std::perror(root.c_str());
    return 1;
  }
  ::close(fd);
  std::printf("comb of depth %ld\n", depth);
  return 0;
}

int make_sparse(const std::string& root, int dirs) {
  ::mkdir(root.c_str(), 0755);
  for (int d = 0; d < dirs; ++d) {
    const std::string dir = root + "/meter-" + std::to_string(d);
    ::mkdir(dir.c_str(), 0755);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    touch_at(dfd, "SN000001-A-20210901.csv");
    ::close(dfd);
  }
  std::printf("%d directories with one dated file each\n", dirs);
  return 0;
}

// Day i of 2020-2021 as a dated file name of a meter.
std::string dated_name(int meter, int i) {
  using namespace std::chrono;
  const year_month_day ymd{sys_days{year{2020} / January / 1} + days{i}};
  char name[64];
  std::snprintf(name, sizeof name, "SN%06d-A-%04d%02u%02u.csv", meter, static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
  return name;
}

int make_replica_set(const std::string& root, int dirs) {
  constexpr int kYears2020And2021 = 731;
  ::mkdir(root.c_str(), 0755);
  for (int r = 0; r < 3; ++r) {
    const std::string replica = root + "/r" + std::to_string(r);
    ::mkdir(replica.c_str(), 0755);
    for (int d = 0; d < dirs; ++d) {
      const std::string parent = replica + "/site-" + std::to_string(d / 100);
      if (d % 100 == 0) ::mkdir(parent.c_str(), 0755);
      const std::string dir = parent + "/meter-" + std::to_string(d);
      ::mkdir(dir.c_str(), 0755);
      const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      const int a = d % kYears2020And2021;
      const int b = (d * 7 + 3) % kYears2020And2021;
      if (r == 0 || (r == 2 && d % 10 != 0)) touch_at(dfd, dated_name(d, a).c_str());
      if (r == 1 || (r == 2 && d % 10 != 0)) touch_at(dfd, dated_name(d, b).c_str());
      ::close(dfd);
    }
  }
  std::printf("3 replicas of %d directories\n", dirs);
  return 0;
}

int make_repair_set(const std::string& root, int dirs, int days, long bytes) {
  const std::string content(static_cast<std::size_t>(bytes), 'x');
  ::mkdir(root.c_str(), 0755);
  for (int r = 0; r < 2; ++r) {
    const std::string replica = root + "/r" + std::to_string(r);
    ::mkdir(replica.c_str(), 0755);
    for (int d = 0; d < dirs; ++d) {
      const std::string parent = replica + "/site-" + std::to_string(d / 100);
      if (d % 100 == 0) ::mkdir(parent.c_str(), 0755);
      const std::string dir = parent + "/meter-" + std::to_string(d);
      ::mkdir(dir.c_str(), 0755);
      const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      for (int i = 0; i < days; ++i) {
        const int fd =
            ::openat(dfd, dated_name(d, i).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, content.data(), content.size()) != bytes) {
          std::perror(dir.c_str());
          return 1;
        }
        ::close(fd);
      }
      ::close(dfd);
    }
  }
  std::printf("2 replicas of %d directories x %d files of %ld bytes\n", dirs, days, bytes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--comb") return make_comb(argv[2], std::atol(argv[3]));
  if (argc == 4 && std::string(argv[1]) == "--sparse") {
    return make_sparse(argv[2], std::atoi(argv[3]));
  }
  if (argc == 4 && std::string(argv[1]) == "--replica-set") {
    return make_replica_set(argv[2], std::atoi(argv[3]));
  }
  if (argc == 6 && std::string(argv[1]) == "--repair-set") {
    return make_repair_set(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atol(argv[5]));
  }
  if (argc != 5) {
    std::fprintf(
        stderr,
        "usage: %s ROOT PARENTS DIRS_PER_PARENT DAYS | --comb ROOT DEPTH | "
        "--sparse ROOT DIRS | --replica-set ROOT DIRS | --repair-set ROOT DIRS DAYS BYTES\n",
        argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  const int parents = std::atoi(argv[2]);
  const int dirs = std::atoi(argv[3]);
  const int days = std::atoi(argv[4]);
  ::mkdir(root.c_str(), 0755);
  long files = 0;
  for (int p = 0; p < parents; ++p) {
    const std::string parent = root + "/site-" + std::to_string(p);
    ::mkdir(parent.c_str(), 0755);
    for (int d = 0; d < dirs; ++d) {
      const int meter = p * dirs + d;
      const std::string dir = parent + "/meter-" + std::to_string(meter);
      ::mkdir(dir.c_str(), 0755);
      const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
      for (int i = 0; i < days; ++i) {
        if ((meter * 7 + i * 13) % 997 == 0) continue;  // a missing day now and then
        ::close(::openat(dfd, dated_name(meter, i).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ++files;
      }
      for (const char* other : {"README.txt", "export.csv.gz"}) {
        ::close(::openat(dfd, other, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ++files;
      }
      ::close(dfd);
    }
  }
  std::printf("%ld files in %d directories\n", files, parents * dirs);
  return 0;
}
