// Opening paths below a directory without ever following a symbolic link, so
// that a tree changed meanwhile cannot lead a reader or a writer elsewhere.
#pragma once

#include <string_view>

#include "quelmar/util/unique_fd.hpp"

namespace quelmar::profile_logs::detail {

enum class Resolution {
  kKernel,         // one openat2 call, falling back to the walk on kernels without it
  kComponentWalk,  // one openat per component, each with O_NOFOLLOW
};

// Opens `path` (relative, "/"-separated components, "." for `dir_fd` itself)
// below `dir_fd` with `flags`, refusing a symbolic link at any component,
// including the last. Absolute paths, "..", and empty components are refused
// with EINVAL. An invalid descriptor and errno on failure.
util::UniqueFd open_beneath(int dir_fd, std::string_view path, int flags,
                            Resolution how = Resolution::kKernel);

}  // namespace quelmar::profile_logs::detail
