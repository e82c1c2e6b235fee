#include "profile_logs/safe_copy.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>
#include <vector>

#include "profile_logs/beneath.hpp"
#include "quelmar/profile_logs/temporary_prefix.hpp"

namespace quelmar::profile_logs::detail {

namespace {

using util::UniqueFd;

constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::size_t kRandomDigits = 16;

std::string errno_text(int error) { return std::generic_category().message(error); }

bool running_as_root() {
  static const bool root = ::geteuid() == 0;
  return root;
}

int open_directory_at(int dir_fd, const char* name) {
  int fd;
  do {
    fd = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Cleared for good once copy_file_range is found missing or refused between
// these file systems.
std::atomic<bool> try_copy_file_range{true};

struct CopyError {
  int error = 0;        // 0: copied
  bool source = false;  // reading failed, rather than writing
};

// Copies until the end of the source.
CopyError copy_contents(int from, int to, CopyMethod method, std::uint64_t& bytes) {
  if (method == CopyMethod::kKernel && try_copy_file_range.load(std::memory_order_relaxed)) {
    for (;;) {
      const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
      if (n > 0) {
        bytes += static_cast<std::uint64_t>(n);
        continue;
      }
      if (n == 0) return {};
      if (errno == EINTR) continue;
      if (errno == ENOSYS) try_copy_file_range.store(false, std::memory_order_relaxed);
      // Refused, or failed on one side: read and write go on from the same offsets,
      // and tell which side it was.
      break;
    }
  }
  std::vector<char> buffer(std::size_t{128} * 1024);
  for (;;) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n == 0) return {};
    if (n < 0) {
      if (errno == EINTR) continue;
      return {errno, true};
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return {errno, false};
      }
      done += w;
    }
    bytes += static_cast<std::uint64_t>(n);
  }
}

// Links the temporary file into place under `name`, never over an existing entry.
int link_into_place(int dir, const std::string& temporary, const std::string& name) {
  if (::renameat2(dir, temporary.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without RENAME_NOREPLACE: a hard link fails where the name is taken.
  if (::linkat(dir, temporary.c_str(), dir, name.c_str(), 0) != 0) return errno;
  ::unlinkat(dir, temporary.c_str(), 0);
  return 0;
}

CopyOutcome unusable(std::string reason) {
  return {CopyOutcome::Kind::kSourceUnusable, 0, std::move(reason)};
}
CopyOutcome failed(int error) { return {CopyOutcome::Kind::kFailed, 0, errno_text(error)}; }

}  // namespace

std::string temporary_name() {
  std::array<unsigned char, kRandomDigits / 2> random{};
  if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
    std::random_device device;
    for (auto& byte : random) byte = static_cast<unsigned char>(device());
  }
  std::string name(repair::TEMPORARY_PREFIX);
  constexpr char kHex[] = "0123456789abcdef";
  for (const unsigned char byte : random) {
    name += kHex[byte >> 4];
    name += kHex[byte & 15];
  }
  name += kTemporarySuffix;
  return name;
}

bool is_temporary_name(std::string_view name) {
  if (!name.starts_with(repair::TEMPORARY_PREFIX) || !name.ends_with(kTemporarySuffix)) {
    return false;
  }
  const std::string_view digits =
      name.substr(repair::TEMPORARY_PREFIX.size(),
                  name.size() - repair::TEMPORARY_PREFIX.size() - kTemporarySuffix.size());
  return digits.size() == kRandomDigits && std::all_of(digits.begin(), digits.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

UniqueFd create_directory_like(int parent, const char* name, const struct stat& source,
                               bool& created) {
  created = ::mkdirat(parent, name, (source.st_mode & 0777) | 0700) == 0;
  if (!created && errno != EEXIST) return UniqueFd();
  UniqueFd dir(open_directory_at(parent, name));
  if (!dir.valid() || !created) return dir;
  // The owner first, which clears set-id bits; then the mode, whatever the umask.
  if (running_as_root() && ::fchown(dir.get(), source.st_uid, source.st_gid) != 0) {
    return UniqueFd();
  }
  if (::fchmod(dir.get(), (source.st_mode & 07777) | 0700) != 0) return UniqueFd();
  return dir;
}

UniqueFd make_directories_beneath(int target_root, int source_root, std::string_view path,
                                  std::vector<CreatedDirectory>& created) {
  UniqueFd target = open_beneath(target_root, path, O_RDONLY | O_DIRECTORY);
  if (target.valid() || errno != ENOENT) return target;
  // Down one component at a time, creating what is missing.
  target = UniqueFd(::dup(target_root));
  UniqueFd source(::dup(source_root));
  if (!target.valid() || !source.valid()) return UniqueFd();
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string component(path.substr(start, end - start));
    UniqueFd next(open_directory_at(target.get(), component.c_str()));
    UniqueFd source_next(open_directory_at(source.get(), component.c_str()));
    if (!next.valid()) {
      if (errno != ENOENT) return UniqueFd();
      struct stat st {};
      if (!source_next.valid() || ::fstat(source_next.get(), &st) != 0) return UniqueFd();
      bool made = false;
      next = create_directory_like(target.get(), component.c_str(), st, made);
      if (!next.valid()) return UniqueFd();
      struct stat now {};
      if (made && (st.st_mode & 0700) != 0700 && ::fstat(next.get(), &now) == 0) {
        created.push_back({std::string(path.substr(0, end)), now.st_dev, now.st_ino,
                           static_cast<mode_t>(st.st_mode & 07777)});
      }
    }
    target = std::move(next);
    source = std::move(source_next);
    if (end == path.size()) return target;
    if (!source.valid()) {
      // Further down only existing directories can be opened.
      return open_beneath(target.get(), path.substr(end + 1), O_RDONLY | O_DIRECTORY);
    }
    start = end + 1;
  }
}

void finish_directory_modes(int target_root, std::vector<CreatedDirectory> created) {
  std::sort(created.begin(), created.end(),
            [](const auto& a, const auto& b) { return a.path.size() > b.path.size(); });
  for (const auto& dir : created) {
    const UniqueFd fd = open_beneath(target_root, dir.path, O_RDONLY | O_DIRECTORY);
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) continue;
    if (st.st_dev != dir.device || st.st_ino != dir.inode) continue;
    ::fchmod(fd.get(), dir.mode);
  }
}

CopyOutcome copy_file_between(int source_dir, int target_dir, const std::string& name,
                              CopyMethod method) {
  UniqueFd source;
  {
    int fd;
    do {
      // Non-blocking: a FIFO put in the file's place must not stall the copy.
      fd = ::openat(source_dir, name.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return unusable(errno_text(errno));
    source = UniqueFd(fd);
  }
  struct stat st {};
  if (::fstat(source.get(), &st) != 0) return unusable(errno_text(errno));
  if (!S_ISREG(st.st_mode)) return unusable("not a regular file");

  const std::string temporary = temporary_name();
  UniqueFd target(::openat(target_dir, temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!target.valid()) return failed(errno);
  CopyOutcome outcome{CopyOutcome::Kind::kCopied, 0, {}};
  const CopyError copy = copy_contents(source.get(), target.get(), method, outcome.bytes);
  if (copy.source) {
    ::unlinkat(target_dir, temporary.c_str(), 0);
    return unusable(errno_text(copy.error));
  }
  int error = copy.error;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (error == 0 && running_as_root() && ::fchown(target.get(), st.st_uid, st.st_gid) != 0) {
    error = errno;
  }
  if (error == 0 && ::fchmod(target.get(), st.st_mode & 07777) != 0) error = errno;
  if (error == 0 && ::futimens(target.get(), times) != 0) error = errno;
  if (error == 0) error = link_into_place(target_dir, temporary, name);
  if (error != 0) {
    ::unlinkat(target_dir, temporary.c_str(), 0);
    return failed(error);
  }
  return outcome;
}

}  // namespace quelmar::profile_logs::detail
