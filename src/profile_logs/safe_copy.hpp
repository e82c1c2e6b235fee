// Copying one file between replicas without following links and without ever
// replacing anything: a temporary file in the target directory, given the
// source's mode and times, then linked into place only where the name is free.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/unique_fd.hpp"

namespace quelmar::profile_logs::detail {

// A fresh temporary name: the repair's prefix, 16 random hex digits, ".tmp".
std::string temporary_name();
bool is_temporary_name(std::string_view name);

// Opens directory `path` below `target_root`, first creating it and each missing
// directory above it with the mode (and, as root, the owner) of the same
// directory below `source_root`. No link is followed at any component. An
// invalid descriptor and errno on failure.
util::UniqueFd make_directories_beneath(int target_root, int source_root, std::string_view path);

struct CopyOutcome {
  enum class Kind {
    kCopied,
    kSourceUnusable,  // cannot be opened or read, or is no regular file
    kFailed,          // the target could not be written, or the name was taken
  };
  Kind kind = Kind::kFailed;
  std::uint64_t bytes = 0;
  std::string reason;  // unless copied
};

enum class CopyMethod {
  kKernel,     // copy_file_range, falling back to read and write where it is refused
  kReadWrite,  // read and write only
};

// Copies entry `name` of `source_dir` to the same name in `target_dir`.
CopyOutcome copy_file_between(int source_dir, int target_dir, const std::string& name,
                              CopyMethod method = CopyMethod::kKernel);

}  // namespace quelmar::profile_logs::detail
