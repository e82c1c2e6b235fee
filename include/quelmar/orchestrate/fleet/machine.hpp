// A listed machine as the fleet's actions and plan files name it.
#pragma once

#include <string>

namespace quelmar::orchestrate::fleet {

// A listed machine as an action names it.
struct Machine {
  std::string id{};
  std::string name{};
  std::string region{};
  std::string state{};        // the platform's text
  std::string instance_id{};  // the version the plan saw
  // Its config as listed, as compact JSON text: compact, since a plan names every mediator.
  std::string config{};
};

}  // namespace quelmar::orchestrate::fleet
