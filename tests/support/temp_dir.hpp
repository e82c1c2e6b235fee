// A fresh, empty directory under the system's temporary directory, for one test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quelmar::testing {

// Throws when no directory can be made; the caller removes it.
inline std::filesystem::path make_temp_dir(std::string_view prefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a temporary directory " + pattern);
  }
  return pattern;
}

}  // namespace quelmar::testing
