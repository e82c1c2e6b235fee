// Replacing a file so that a reader sees either the old or the new content whole.
#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

namespace quelmar::util {

// Writes `content` to a new temporary file beside `path` (same directory, a
// name starting with "." that no "*.prom"-style pattern matches), flushes it to
// disk, gives it `mode` (by default readable by everyone) and renames it over `path`. On
// failure the temporary file is removed, `path` is left as it was, and the
// error is returned.
std::error_code replace_file_atomically(
    const std::filesystem::path& path, std::string_view content,
    std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                  std::filesystem::perms::owner_write |
                                  std::filesystem::perms::group_read |
                                  std::filesystem::perms::others_read);

}  // namespace quelmar::util
