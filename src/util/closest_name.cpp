#include "quelmar/util/closest_name.hpp"

#include <algorithm>

namespace quelmar::util {

namespace {

// Beyond this, a name is no typo of any name.
constexpr std::size_t kMaxTyped = 64;

}  // namespace

std::size_t edit_distance(std::string_view a, std::string_view b) {
  // Optimal string alignment: three rows of the table suffice.
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t replace = a[i - 1] == b[j - 1] ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + replace});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

std::optional<std::string> closest_name(std::string_view typed,
                                        const std::vector<std::string>& names) {
  if (typed.size() > kMaxTyped) return std::nullopt;
  std::optional<std::string> closest;
  std::size_t closest_distance = 0;
  for (const auto& name : names) {
    const std::size_t distance = edit_distance(typed, name);
    const bool close = distance <= 2 && 2 * distance <= name.size();
    if (close && (!closest || distance < closest_distance)) {
      closest = name;
      closest_distance = distance;
    }
  }
  return closest;
}

}  // namespace quelmar::util
