#include "profile_logs/replica_paths.hpp"

#include <utility>

namespace quelmar::profile_logs {

std::string trimmed_root(std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string path_below(const std::string& root, std::string_view rel) {
  if (rel == ".") return root;
  std::string path = root;
  if (path != "/") path += '/';
  path += rel;
  return path;
}

}  // namespace quelmar::profile_logs
