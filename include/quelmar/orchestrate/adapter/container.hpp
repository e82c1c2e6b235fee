// The package's container model: what an adapter reports about one machine.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quelmar::orchestrate::adapter::container {

enum class ContainerState { CREATED, STARTED, STARTING, STOPPED, STOPPING, REMOVING, FAILED };

enum class ContainerEnvironment { FLY };

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
  ContainerEnvironment container_environment = ContainerEnvironment::FLY;
  nlohmann::json metadata = nlohmann::json::object();
};

}  // namespace quelmar::orchestrate::adapter::container
