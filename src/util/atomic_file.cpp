#include "quelmar/util/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "quelmar/util/unique_fd.hpp"

namespace quelmar::util {

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

std::error_code write_all(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace

std::error_code replace_file_atomically(const std::filesystem::path& path, std::string_view content,
                                        std::filesystem::perms mode) {
  const std::filesystem::path directory = path.has_parent_path() ? path.parent_path() : ".";
  std::string temporary = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return last_error();
  std::error_code error = write_all(fd, content);
  // Created owner-only; readers may run as another user.
  if (!error && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) error = last_error();
  if (!error && ::fsync(fd) != 0) error = last_error();
  // Some file systems report a failed write only when the file is closed.
  if (::close(fd) != 0 && !error) error = last_error();
  if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) error = last_error();
  if (error) {
    ::unlink(temporary.c_str());
    return error;
  }
  // The rename itself lasts once the directory is on disk; failing that is no
  // reason to report the file as unwritten.
  if (UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir.valid()) {
    ::fsync(dir.get());
  }
  return {};
}

}  // namespace quelmar::util
