#include <set>
#include <stdexcept>

#include "quelmar/orchestrate/fleet.hpp"
#include "records.hpp"

namespace quelmar::orchestrate::fleet {

namespace {
// Where a single-meter app's mediator listens on the private network.
constexpr int kSingleMeterPrivatePort = 44444;
}  // namespace

std::vector<MeterAddress> addresses(adapter::vostrel::FlyAdapter& adapter) {
  const nlohmann::json mediators = list_mediators(adapter);
  std::vector<MeterAddress> found;
  std::vector<std::optional<int>> ports;
  std::set<std::string> seen;
  for (const auto& machine : mediators) {
    auto meter_id = records::config_text(machine, "metadata", adapter::base_adapter::kMeterIdKey);
    if (!meter_id || !seen.insert(*meter_id).second) continue;
    found.push_back({*meter_id, *records::text_at(machine, "id"), ""});
    ports.push_back(records::first_port(machine));
  }
  if (found.empty()) return found;
  const bool needs_ports = adapter.use_private_address() && !adapter.is_single_meter_app();
  for (std::size_t i = 0; needs_ports && i < found.size(); ++i) {
    if (!ports[i]) {
      throw std::runtime_error("machine " + found[i].machine_id +
                               " has no valid service port in 'services'");
    }
  }

  // One look-up serves every meter.
  if (!adapter.use_private_address()) {
    const std::string address = adapter.get_public_address();
    for (auto& meter : found) meter.address = address;
    return found;
  }
  const std::string host = "[" + adapter.get_private_flycast_ip() + "]:";
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (adapter.is_single_meter_app()) {
      found[i].address = host + std::to_string(kSingleMeterPrivatePort);
    } else {
      found[i].address = host + std::to_string(*ports[i]);
    }
  }
  return found;
}

}  // namespace quelmar::orchestrate::fleet
