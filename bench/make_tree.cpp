// Writes the benchmark's replica tree: PARENTS x DIRS directories of empty
// daily files, with a few days missing and some names that carry no date.
// Deterministic, so every run measures the same tree.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s ROOT PARENTS DIRS_PER_PARENT DAYS\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  const int parents = std::atoi(argv[2]);
  const int dirs = std::atoi(argv[3]);
  const int days = std::atoi(argv[4]);
  using namespace std::chrono;
  const sys_days first{year{2020} / January / 1};
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
        const year_month_day ymd{first + std::chrono::days{i}};
        char name[64];
        std::snprintf(name, sizeof name, "SN%06d-A-%04d%02u%02u.csv", meter,
                      static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                      static_cast<unsigned>(ymd.day()));
        ::close(::openat(dfd, name, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
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
