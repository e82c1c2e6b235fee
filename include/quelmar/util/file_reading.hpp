// Reading the whole of a file an operator names: bounded, and never blocking on a FIFO or device.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace quelmar::util {

// A file that cannot or may not be read. what() is the reason alone ("not a regular file"), for
// the caller to put after the file's name.
class FileRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FileReadOptions {
  std::uint64_t max_bytes = 0;
  // Files that steer what is done to the fleet (plans, tokens): only the user running quelmar,
  // or root, may own them, and nobody else may be able to change them. Reading by others is
  // allowed.
  bool only_owner_writes = false;
};

// The whole content of `path`, which must be a regular file of at most `options.max_bytes`.
// Throws FileRefused.
std::string read_whole_file(const std::filesystem::path& path, const FileReadOptions& options);

}  // namespace quelmar::util
