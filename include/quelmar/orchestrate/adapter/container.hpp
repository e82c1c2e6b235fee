// The package's container model: what an adapter reports about one machine.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace quelmar::orchestrate::adapter::container {

// UNKNOWN stands for any platform state outside the other seven (the platform
// adds states over time); such a machine is still listed.
enum class ContainerState {
  CREATED,
  STARTED,
  STARTING,
  STOPPED,
  STOPPING,
  REMOVING,
  FAILED,
  UNKNOWN
};

enum class ContainerEnvironment { FLY };

// Every state with its member name, in declaration order: the one list that
// state names (and the texts made from them) come from.
inline constexpr std::array<std::pair<ContainerState, std::string_view>, 8> kContainerStateNames{{
    {ContainerState::CREATED, "CREATED"},
    {ContainerState::STARTED, "STARTED"},
    {ContainerState::STARTING, "STARTING"},
    {ContainerState::STOPPED, "STOPPED"},
    {ContainerState::STOPPING, "STOPPING"},
    {ContainerState::REMOVING, "REMOVING"},
    {ContainerState::FAILED, "FAILED"},
    {ContainerState::UNKNOWN, "UNKNOWN"},
}};

// The member's name, e.g. "REMOVING".
std::string to_string(ContainerState state);
std::string to_string(ContainerEnvironment environment);

// Accepts the member's name in either letter case ("removing", "REMOVING");
// absent for anything else.
std::optional<ContainerState> parse_container_state(std::string_view text);

struct Container {
  std::string id{};
  std::string name{};
  std::string image{};
  int port = 0;
  ContainerState status = ContainerState::CREATED;
  // The platform's own state text, kept because UNKNOWN alone does not tell it.
  std::string platform_state{};
  ContainerEnvironment container_environment = ContainerEnvironment::FLY;
  nlohmann::json metadata = nlohmann::json::object();
};

}  // namespace quelmar::orchestrate::adapter::container
