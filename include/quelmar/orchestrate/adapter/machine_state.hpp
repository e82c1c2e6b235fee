// The platform's machine-state texts and the container states they mean: the one table that
// both the typed mediator record and the adapter's state maps are made from.
#pragma once

#include <array>
#include <string_view>

#include "quelmar/orchestrate/adapter/container.hpp"

namespace quelmar::orchestrate::adapter::machine_state {

using container::ContainerState;

struct StateText {
  ContainerState state;
  std::string_view text;
};

// Every state but UNKNOWN with its platform text; each text is distinct.
inline constexpr std::array<StateText, 7> kStateTexts{{
    {ContainerState::STARTED, "started"},
    {ContainerState::STARTING, "starting"},
    {ContainerState::STOPPED, "stopped"},
    {ContainerState::STOPPING, "stopping"},
    {ContainerState::REMOVING, "destroying"},
    {ContainerState::CREATED, "created"},
    {ContainerState::FAILED, "failed"},
}};

// What a platform state text means; UNKNOWN for any text outside the table (the platform adds
// states over time). Case matters: the platform's texts are lower case.
constexpr ContainerState state_of(std::string_view text) {
  for (const StateText& entry : kStateTexts) {
    if (entry.text == text) return entry.state;
  }
  return ContainerState::UNKNOWN;
}

}  // namespace quelmar::orchestrate::adapter::machine_state
