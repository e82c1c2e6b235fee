#include "build_info.hpp"

#include "quelmar_version.hpp"

namespace quelmar::build_info {

std::string version_line(std::string_view program, std::string_view version,
                         std::string_view revision) {
  std::string line = std::string(program) + " " + std::string(version);
  if (!revision.empty()) line += " (git " + std::string(revision) + ")";
  return line;
}

std::string version_line(std::string_view program) {
  return version_line(program, QUELMAR_VERSION, QUELMAR_REVISION);
}

}  // namespace quelmar::build_info
