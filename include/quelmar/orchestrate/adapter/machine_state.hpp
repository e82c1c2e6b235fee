// The platform's machine-state texts and what each means: the one table that the typed mediator
// record, the adapter's state maps and the fleet's rules (dead, at rest) are all made from.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "quelmar/orchestrate/adapter/container.hpp"

namespace quelmar::orchestrate::adapter::machine_state {

using container::ContainerState;

// The texts the state machine of this program needs by name.
inline constexpr std::string_view kStarted = "started";
inline constexpr std::string_view kStopped = "stopped";

struct PlatformState {
  std::string_view text;
  // UNKNOWN where the container model has no state of its own.
  ContainerState state = ContainerState::UNKNOWN;
  // On its way out or gone: a record in this state is nobody's mediator.
  bool dead = false;
  // Not running: destroyed without a stop first.
  bool at_rest = false;
};

// Every state the platform sends. The first seven are the container model's states, in the
// order its maps list them; each text is distinct.
inline constexpr std::array<PlatformState, 17> kPlatformStates{{
    {kStarted, ContainerState::STARTED},
    {"starting", ContainerState::STARTING},
    {kStopped, ContainerState::STOPPED, false, true},
    {"stopping", ContainerState::STOPPING},
    {"destroying", ContainerState::REMOVING, true},
    {"created", ContainerState::CREATED, false, true},
    {"failed", ContainerState::FAILED, false, true},
    {"destroyed", ContainerState::UNKNOWN, true},
    {"creating"},
    {"restarting"},
    {"suspending"},
    {"suspended"},
    {"updating"},
    {"replacing"},
    {"replaced"},
    {"launch_failed"},
    {"migrated"},
}};

static_assert(
    [] {
      for (std::size_t i = 0; i < kPlatformStates.size(); ++i) {
        if ((i < 7) == (kPlatformStates[i].state == ContainerState::UNKNOWN)) return false;
        for (std::size_t j = 0; j < i; ++j) {
          if (kPlatformStates[i].text == kPlatformStates[j].text) return false;
        }
      }
      return true;
    }(),
    "the model's seven states come first, and no text is listed twice");

struct StateText {
  ContainerState state;
  std::string_view text;
};

inline constexpr std::size_t kModelStates = 7;

// Every container state but UNKNOWN with its platform text.
inline constexpr std::array<StateText, kModelStates> kStateTexts = [] {
  std::array<StateText, kModelStates> texts{};
  for (std::size_t i = 0; i < kModelStates; ++i) {
    texts[i] = {kPlatformStates[i].state, kPlatformStates[i].text};
  }
  return texts;
}();

// The entry of a platform state text; null for a text outside the table (the platform adds
// states over time). Case matters: the platform's texts are lower case.
constexpr const PlatformState* find(std::string_view text) {
  for (const PlatformState& entry : kPlatformStates) {
    if (entry.text == text) return &entry;
  }
  return nullptr;
}

// What a platform state text means to the container model; UNKNOWN for any other text.
constexpr ContainerState state_of(std::string_view text) {
  const PlatformState* entry = find(text);
  return entry == nullptr ? ContainerState::UNKNOWN : entry->state;
}

// Whether a machine in this state is on its way out ("destroying") or gone ("destroyed").
constexpr bool is_dead(std::string_view text) {
  const PlatformState* entry = find(text);
  return entry != nullptr && entry->dead;
}

// Whether a machine in this state may be destroyed without being stopped first.
constexpr bool is_at_rest(std::string_view text) {
  const PlatformState* entry = find(text);
  return entry != nullptr && entry->at_rest;
}

}  // namespace quelmar::orchestrate::adapter::machine_state
