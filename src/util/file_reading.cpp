#include "quelmar/util/file_reading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "quelmar/util/unique_fd.hpp"

namespace quelmar::util {

namespace {

[[noreturn]] void refuse_errno(int error) {
  throw FileRefused(std::generic_category().message(error));
}

std::string size_text(std::uint64_t bytes) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes) + " bytes";
}

void check_kind_and_trust(const struct stat& status, const FileReadOptions& options) {
  if (!S_ISREG(status.st_mode)) throw FileRefused("not a regular file");
  if (!options.only_owner_writes) return;
  if (status.st_uid != ::geteuid() && status.st_uid != 0) {
    throw FileRefused("owned by another user (uid " + std::to_string(status.st_uid) + ")");
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    throw FileRefused(std::string("writable by group or others (mode ") + mode + ")");
  }
}

}  // namespace

std::string read_whole_file(const std::filesystem::path& path, const FileReadOptions& options) {
  // Looked at before it is opened: opening a device or a FIFO can block or have effects.
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) refuse_errno(errno);
  check_kind_and_trust(status, options);
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) refuse_errno(errno);
  // The name may have been swapped meanwhile: what was opened is what counts.
  if (::fstat(fd.get(), &status) != 0) refuse_errno(errno);
  check_kind_and_trust(status, options);
  const auto too_large = [&options] {
    return FileRefused("larger than " + size_text(options.max_bytes));
  };
  if (static_cast<std::uint64_t>(status.st_size) > options.max_bytes) throw too_large();

  std::string text;
  text.reserve(static_cast<std::size_t>(status.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      refuse_errno(errno);
    }
    // A file that grows while it is read is held to the same bound.
    if (text.size() + static_cast<std::size_t>(n) > options.max_bytes) throw too_large();
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace quelmar::util
