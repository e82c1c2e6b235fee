#include <set>
#include <stdexcept>
#include <utility>

#include "live_mediators.hpp"
#include "quelmar/orchestrate/adapter/mediator.hpp"
#include "quelmar/orchestrate/adapter/serving_mediators.hpp"
#include "quelmar/orchestrate/fleet/addresses.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

// The primary mediator's address of every meter, or of `only` that meter.
std::vector<MeterAddress> primary_addresses(adapter::vostrel::Machines& adapter,
                                            const std::optional<std::string>& only) {
  std::vector<detail::LiveMediator> live;
  adapter::mediator::ServingMediators serving;
  adapter.each_mediator("", [&](adapter::vostrel::Mediator&& m) {
    if (is_dead(m) || (only && m.meter_id != only)) return;
    serving.offer(m, live.size());
    live.push_back(detail::live_mediator(m));
  });
  const auto primary = serving.all();
  // Meters in the order of their first listed mediator.
  std::vector<const detail::LiveMediator*> chosen;
  std::set<std::string> seen;
  for (const auto& m : live) {
    if (m.meter_id && seen.insert(*m.meter_id).second) {
      chosen.push_back(&live[primary.at(*m.meter_id)]);
    }
  }
  if (chosen.empty()) return {};
  const bool needs_ports = adapter.use_private_address() && !adapter.is_single_meter_app();
  for (const auto* m : chosen) {
    if (needs_ports && !m->service_port) {
      throw std::runtime_error("machine " + m->machine.id +
                               " has no valid service port in 'services'");
    }
  }
  // One look-up serves every meter.
  const std::string host = adapter.resolve_service_host();
  std::vector<MeterAddress> found;
  for (const auto* m : chosen) {
    found.push_back(
        {*m->meter_id, m->machine.id, adapter.service_address(host, m->service_port.value_or(0))});
  }
  return found;
}

}  // namespace

std::vector<MeterAddress> addresses(adapter::vostrel::Machines& adapter) {
  return primary_addresses(adapter, std::nullopt);
}

std::optional<MeterAddress> meter_address(adapter::vostrel::Machines& adapter,
                                          const std::string& meter_id) {
  auto found = primary_addresses(adapter, meter_id);
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

}  // namespace quelmar::orchestrate::fleet
