#include "quelmar/orchestrate/adapter/container.hpp"

#include "quelmar/util/lower.hpp"

namespace quelmar::orchestrate::adapter::container {

std::string to_string(ContainerState state) {
  for (const auto& [member, name] : kContainerStateNames) {
    if (member == state) return std::string(name);
  }
  // Only reachable through a cast of an out-of-range value.
  return "ContainerState(" + std::to_string(static_cast<int>(state)) + ")";
}

std::string to_string(ContainerEnvironment environment) {
  switch (environment) {
    case ContainerEnvironment::FLY:
      return "FLY";
  }
  return "ContainerEnvironment(" + std::to_string(static_cast<int>(environment)) + ")";
}

std::optional<ContainerState> parse_container_state(std::string_view text) {
  const std::string wanted = util::lower(text);
  for (const auto& [member, name] : kContainerStateNames) {
    if (util::lower(name) == wanted) return member;
  }
  return std::nullopt;
}

}  // namespace quelmar::orchestrate::adapter::container
