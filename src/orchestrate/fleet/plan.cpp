#include <map>
#include <set>
#include <stdexcept>

#include "quelmar/orchestrate/fleet.hpp"
#include "records.hpp"

namespace quelmar::orchestrate::fleet {

namespace records {

using nlohmann::json;

std::optional<std::string> text_at(const json& record, const char* key) {
  if (!record.is_object()) return std::nullopt;
  auto found = record.find(key);
  if (found == record.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::optional<std::string> config_text(const json& record, const char* section, const char* key) {
  if (!record.is_object()) return std::nullopt;
  auto config = record.find("config");
  if (config == record.end() || !config->is_object()) return std::nullopt;
  auto part = config->find(section);
  if (part == config->end()) return std::nullopt;
  return text_at(*part, key);
}

std::optional<int> first_port(const json& record) {
  const json* at = &record;
  for (const char* key : {"config", "services", "", "ports", "", "port"}) {
    if (*key == '\0') {
      if (!at->is_array() || at->empty()) return std::nullopt;
      at = &at->front();
    } else {
      if (!at->is_object() || !at->contains(key)) return std::nullopt;
      at = &(*at)[key];
    }
  }
  if (!at->is_number_integer()) return std::nullopt;
  const auto port = at->get<long long>();
  if (port < 1 || port > 65535) return std::nullopt;
  return static_cast<int>(port);
}

std::string text_form(const json& value) {
  return value.is_string() ? value.get<std::string>()
                           : value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace records

namespace {

using nlohmann::json;

// The fields in which a meter's mediator differs from the inventory and the options.
std::vector<std::string> differences(const Meter& meter, const json& machine,
                                     const std::optional<std::string>& image) {
  const adapter::base_adapter::BaseAdapter base;
  const json metadata = base._metadata(meter.meter_id, meter.ip_address);
  const json env = base._env_vars(meter.ip_address, meter.cert_auth);
  std::vector<std::string> changes;
  const char* ip_key = adapter::base_adapter::kIpAddressKey;
  if (records::config_text(machine, "metadata", ip_key) != metadata[ip_key].get<std::string>()) {
    changes.emplace_back(ip_key);
  }
  for (const char* key :
       {adapter::base_adapter::kMeterIpAddressEnv, adapter::base_adapter::kUseCertAuthEnv}) {
    if (records::config_text(machine, "env", key) != env[key].get<std::string>()) {
      changes.emplace_back(key);
    }
  }
  if (records::first_port(machine) != meter.port) changes.emplace_back("port");
  if (image) {
    const json* config = machine.contains("config") ? &machine["config"] : nullptr;
    if (config == nullptr || records::text_at(*config, "image") != *image) {
      changes.emplace_back("image");
    }
  }
  return changes;
}

}  // namespace

std::string to_string(ActionKind kind) {
  switch (kind) {
    case ActionKind::kCreate:
      return "create";
    case ActionKind::kUpdate:
      return "update";
    case ActionKind::kStart:
      return "start";
    case ActionKind::kOk:
      return "ok";
    case ActionKind::kDuplicate:
      return "duplicate";
    case ActionKind::kOrphan:
      return "orphan";
  }
  return "?";
}

Summary Plan::summary() const {
  Summary summary;
  for (const auto& action : actions) {
    switch (action.kind) {
      case ActionKind::kCreate:
        ++summary.create;
        break;
      case ActionKind::kUpdate:
        ++summary.update;
        break;
      case ActionKind::kStart:
        ++summary.start;
        break;
      case ActionKind::kOk:
        ++summary.ok;
        break;
      case ActionKind::kDuplicate:
        ++summary.duplicate;
        break;
      case ActionKind::kOrphan:
        ++summary.orphan;
        break;
    }
  }
  return summary;
}

bool Plan::in_step() const {
  for (const auto& action : actions) {
    if (action.kind != ActionKind::kOk) return false;
  }
  return true;
}

nlohmann::json list_mediators(adapter::vostrel::FlyAdapter& adapter) {
  if (!adapter.fly_app()) throw std::logic_error("the fleet needs an app name (app_name)");
  const std::string& app = *adapter.fly_app();
  json listed = adapter.api().list_brief(app, adapter.region());
  if (listed.is_object() && listed.contains("error")) {
    throw std::runtime_error("cannot list the machines of " + app + ": " +
                             records::text_form(listed["error"]));
  }
  json mediators = json::array();
  for (json& machine : listed) {
    const auto name = records::text_at(machine, "name");
    if (!name || !name->starts_with(adapter::vostrel::kMediatorPrefix)) continue;
    // A record without an id cannot be acted on or told apart.
    if (!records::text_at(machine, "id")) continue;
    auto config = machine.find("config");
    if (config == machine.end() || config->is_null()) continue;
    mediators.push_back(std::move(machine));
  }
  return mediators;
}

Plan make_plan(const std::string& app, const std::vector<Meter>& meters, const json& mediators,
               const std::optional<std::string>& image) {
  const char* meter_key = adapter::base_adapter::kMeterIdKey;
  // Each meter's mediators, in listing order; the first is the one its address comes from.
  std::map<std::string, const json*> first_of_meter;
  for (const json& machine : mediators) {
    if (auto meter_id = records::config_text(machine, "metadata", meter_key)) {
      first_of_meter.emplace(*meter_id, &machine);
    }
  }
  Plan plan;
  plan.app = app;
  std::set<std::string> inventory_ids;
  for (const Meter& meter : meters) {
    inventory_ids.insert(meter.meter_id);
    Action action;
    action.meter_id = meter.meter_id;
    action.meter = meter;
    auto found = first_of_meter.find(meter.meter_id);
    if (found == first_of_meter.end()) {
      action.kind = ActionKind::kCreate;
    } else {
      const json& machine = *found->second;
      action.machine_id = records::text_at(machine, "id");
      action.machine = machine;
      action.changes = differences(meter, machine, image);
      if (!action.changes.empty()) {
        action.kind = ActionKind::kUpdate;
      } else if (records::text_at(machine, "state") != "started") {
        action.kind = ActionKind::kStart;
      } else {
        action.kind = ActionKind::kOk;
      }
    }
    plan.actions.push_back(std::move(action));
  }
  for (const json& machine : mediators) {
    const auto meter_id = records::config_text(machine, "metadata", meter_key);
    Action action;
    if (meter_id && inventory_ids.count(*meter_id) > 0) {
      if (first_of_meter.at(*meter_id) == &machine) continue;
      action.kind = ActionKind::kDuplicate;
    } else {
      action.kind = ActionKind::kOrphan;
    }
    action.meter_id = meter_id.value_or("");
    action.machine_id = records::text_at(machine, "id");
    action.machine = machine;
    plan.actions.push_back(std::move(action));
  }
  return plan;
}

Plan plan(adapter::vostrel::FlyAdapter& adapter, const std::vector<Meter>& meters) {
  const json mediators = list_mediators(adapter);
  std::optional<std::string> image;
  if (!adapter.image().empty()) image = adapter.image();
  return make_plan(*adapter.fly_app(), meters, mediators, image);
}

}  // namespace quelmar::orchestrate::fleet
