// The floor of a tree scan: one thread that lists every directory with getdents64 and only
// counts the entries, descending into directories (never through links). Prints the count.
// usage: bench_count_entries ROOT
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s ROOT\n", argv[0]);
    return 2;
  }
  std::vector<int> pending;
  const int root = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    std::perror(argv[1]);
    return 2;
  }
  pending.push_back(root);
  std::vector<char> buffer(64 * 1024);
  unsigned long entries = 0;
  while (!pending.empty()) {
    const int fd = pending.back();
    pending.pop_back();
    for (;;) {
      const ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
      if (n <= 0) break;
      for (ssize_t off = 0; off < n;) {
        const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + off);
        off += entry->d_reclen;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        ++entries;
        bool directory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
          struct stat st {};
          directory = ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (!directory) continue;
        const int child = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) pending.push_back(child);
      }
    }
    ::close(fd);
  }
  std::printf("%lu\n", entries);
  return 0;
}
