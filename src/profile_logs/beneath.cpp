#include "profile_logs/beneath.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace quelmar::profile_logs::detail {

namespace {

using util::UniqueFd;

// Cleared for good once the kernel says it has no openat2.
std::atomic<bool> kernel_has_openat2{true};

bool valid_relative_path(std::string_view path) {
  if (path == ".") return true;
  if (path.empty() || path.front() == '/') return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (end == path.size()) return true;
    start = end + 1;
  }
}

int open_at(int dir_fd, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(dir_fd, name, flags | O_CLOEXEC | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

UniqueFd walk_components(int dir_fd, std::string_view path, int flags) {
  if (path == ".") return UniqueFd(open_at(dir_fd, ".", flags));
  UniqueFd current;
  int at = dir_fd;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string component(path.substr(start, end - start));
    const bool last = end == path.size();
    UniqueFd next(open_at(at, component.c_str(), last ? flags : O_RDONLY | O_DIRECTORY));
    if (!next.valid() || last) return next;
    current = std::move(next);
    at = current.get();
    start = end + 1;
  }
}

}  // namespace

UniqueFd open_beneath(int dir_fd, std::string_view path, int flags, Resolution how) {
  if (!valid_relative_path(path)) {
    errno = EINVAL;
    return UniqueFd();
  }
  if (how == Resolution::kKernel && kernel_has_openat2.load(std::memory_order_relaxed)) {
    const std::string text(path);
    open_how request{};
    request.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW);
    request.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    int tries = 0;  // EAGAIN: a rename or mount raced the resolution
    do {
      fd = ::syscall(SYS_openat2, dir_fd, text.c_str(), &request, sizeof request);
    } while (fd < 0 && (errno == EINTR || errno == EAGAIN) && ++tries < 64);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    // ENOSYS: an older kernel; EPERM: a sandbox that filters the call.
    if (errno == ENOSYS) kernel_has_openat2.store(false, std::memory_order_relaxed);
    if (errno != ENOSYS && errno != EPERM) return UniqueFd();
  }
  return walk_components(dir_fd, path, flags);
}

}  // namespace quelmar::profile_logs::detail
