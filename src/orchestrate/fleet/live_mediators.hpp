// The app's live mediators as the fleet keeps them while it plans: little more than what an
// action names, since a plan holds one for every machine.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "quelmar/orchestrate/adapter/machine_config.hpp"
#include "quelmar/orchestrate/adapter/machines.hpp"
#include "quelmar/orchestrate/fleet/machine.hpp"

namespace quelmar::orchestrate::fleet::detail {

struct LiveMediator {
  Machine machine{};
  std::optional<std::string> meter_id{};
  std::optional<int> service_port{};
  bool started = false;
  std::vector<adapter::machine_config::Difference> changes{};
  nlohmann::json config = nullptr;  // kept only when there are changes to send
};

// The compact form of a listed mediator. Throws KeyError when the record has no id or state,
// since such a machine can be neither acted on nor told apart.
LiveMediator live_mediator(const adapter::vostrel::Mediator& mediator);

}  // namespace quelmar::orchestrate::fleet::detail
