#include "quelmar/orchestrate/adapter/serving_mediators.hpp"

namespace quelmar::orchestrate::adapter::mediator {

void ServingMediators::offer(const Mediator& mediator, std::size_t index) {
  if (!mediator.meter_id || is_dead(mediator)) return;
  const bool started = mediator.state == ContainerState::STARTED;
  auto [found, fresh] = chosen_.emplace(*mediator.meter_id, Choice{index, started});
  if (!fresh && !found->second.started && started) found->second = {index, started};
}

std::optional<std::size_t> ServingMediators::of(const std::string& meter_id) const {
  auto found = chosen_.find(meter_id);
  if (found == chosen_.end()) return std::nullopt;
  return found->second.index;
}

std::map<std::string, std::size_t> ServingMediators::all() const {
  std::map<std::string, std::size_t> indexes;
  for (const auto& [meter_id, choice] : chosen_)
    indexes.emplace_hint(indexes.end(), meter_id, choice.index);
  return indexes;
}

}  // namespace quelmar::orchestrate::adapter::mediator
