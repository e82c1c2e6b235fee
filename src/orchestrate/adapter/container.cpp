#include "quelmar/orchestrate/adapter/container.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace quelmar::orchestrate::adapter::container {

namespace {

constexpr std::array<std::pair<ContainerState, std::string_view>, 8> kStateNames{{
    {ContainerState::CREATED, "CREATED"},
    {ContainerState::STARTED, "STARTED"},
    {ContainerState::STARTING, "STARTING"},
    {ContainerState::STOPPED, "STOPPED"},
    {ContainerState::STOPPING, "STOPPING"},
    {ContainerState::REMOVING, "REMOVING"},
    {ContainerState::FAILED, "FAILED"},
    {ContainerState::UNKNOWN, "UNKNOWN"},
}};

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string to_string(ContainerState state) {
  for (const auto& [member, name] : kStateNames) {
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
  for (const auto& [member, name] : kStateNames) {
    if (equals_ignoring_case(name, text)) return member;
  }
  return std::nullopt;
}

}  // namespace quelmar::orchestrate::adapter::container
