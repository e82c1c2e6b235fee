// Copying one file between replicas without following links and without ever
// replacing anything: a temporary file in the target directory, given the
// source's mode and times, then linked into place only where the name is free.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quelmar/util/unique_fd.hpp"

namespace quelmar::profile_logs::detail {

// A fresh temporary name: the repair's prefix, 16 random hex digits, ".tmp".
std::string temporary_name();
bool is_temporary_name(std::string_view name);

// Creates directory `name` in `parent` with the owner (as root) of `source` and
// its mode plus owner rwx, so that files can be copied into it whatever that
// mode. `created` tells whether this call made it: one that someone else made
// meanwhile is opened and left as it is. An invalid descriptor and errno on
// failure.
util::UniqueFd create_directory_like(int parent, const char* name, const struct stat& source,
                                     bool& created);

// A directory created with more permissions than its source has, to be given
// the source's exact mode once the copies into it are done.
struct CreatedDirectory {
  std::string path;  // below the target root
  dev_t device;
  ino_t inode;
  mode_t mode;
};

// Opens directory `path` below `target_root`, first creating it and each missing
// directory above it like the same directory below `source_root`. Those created
// whose mode lacks owner rwx are added to `created`, even when a later step
// fails. No link is followed at any component. An invalid descriptor and errno
// on failure.
util::UniqueFd make_directories_beneath(int target_root, int source_root, std::string_view path,
                                        std::vector<CreatedDirectory>& created);

// Gives each of `created` (below `target_root`) its final mode, deepest first so
// that every one can still be reached. One replaced meanwhile is left alone.
void finish_directory_modes(int target_root, std::vector<CreatedDirectory> created);

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
  kKernel,     // copy_file_range, going on with read and write where it is refused or fails
  kReadWrite,  // read and write only
};

// Copies entry `name` of `source_dir` to the same name in `target_dir`.
CopyOutcome copy_file_between(int source_dir, int target_dir, const std::string& name,
                              CopyMethod method = CopyMethod::kKernel);

}  // namespace quelmar::profile_logs::detail
