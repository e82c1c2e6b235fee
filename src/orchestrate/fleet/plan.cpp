#include <algorithm>
#include <unordered_map>

#include "live_mediators.hpp"
#include "quelmar/orchestrate/fleet.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

using adapter::base_adapter::kIpAddressKey;
using adapter::base_adapter::kMeterIpAddressEnv;
using adapter::base_adapter::kUseCertAuthEnv;
using adapter::vostrel::FlyAdapter;
using adapter::vostrel::Mediator;
using detail::LiveMediator;
using nlohmann::json;

// The create request a meter's mediator would get: what it should look like.
json wanted_body(const FlyAdapter& adapter, const Meter& meter,
                 const std::optional<std::string>& cmd) {
  return adapter.create_body({.cmd = cmd.value_or(""),
                              .meter_id = meter.meter_id,
                              .serial = meter.serial,
                              .ip_address = meter.ip_address,
                              .port = meter.port,
                              .use_cert_auth = meter.cert_auth});
}

json text_or_null(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

json env_text(const json& env, const char* key) {
  if (!env.is_object()) return nullptr;
  auto found = env.find(key);
  return found != env.end() && found->is_string() ? *found : json(nullptr);
}

// The fields in which a mediator differs from the meter's wanted config.
std::vector<Change> differences(const json& wanted, const Mediator& m, bool compare_image,
                                bool compare_cmd) {
  std::vector<Change> changes;
  const auto compare = [&changes](const char* field, json from, const json& to) {
    if (from != to) changes.push_back({field, std::move(from), to});
  };
  compare(kIpAddressKey, text_or_null(m.ip_address), wanted.at("metadata").at(kIpAddressKey));
  for (const char* key : {kMeterIpAddressEnv, kUseCertAuthEnv}) {
    compare(key, env_text(m.env, key), wanted.at("env").at(key));
  }
  compare("port", m.service_port ? json(*m.service_port) : json(nullptr),
          wanted.at("services").at(0).at("ports").at(0).at("port"));
  if (compare_image) compare("image", text_or_null(m.image), wanted.at("image"));
  if (compare_cmd) {
    compare("cmd", m.command ? json(*m.command) : json(nullptr), wanted.at("init").at("cmd"));
  }
  return changes;
}

json& object_at(json& parent, const char* key) {
  json& child = parent[key];
  if (!child.is_object()) child = json::object();
  return child;
}

// The listed config with only the changed fields set to what the meter wants; everything
// else is sent back exactly as it was read.
json changed_config(json config, const std::vector<Change>& changes, const json& wanted) {
  for (const Change& change : changes) {
    if (change.field == kIpAddressKey) {
      object_at(config, "metadata")[kIpAddressKey] = change.to;
    } else if (change.field == kMeterIpAddressEnv || change.field == kUseCertAuthEnv) {
      object_at(config, "env")[change.field] = change.to;
    } else if (change.field == "image") {
      config["image"] = change.to;
    } else if (change.field == "cmd") {
      object_at(config, "init")["cmd"] = change.to;
    } else if (change.field == "port") {
      json& services = config["services"];
      const bool usable = services.is_array() && !services.empty() &&
                          services.front().is_object() && services.front()["ports"].is_array() &&
                          !services.front()["ports"].empty() &&
                          services.front()["ports"].front().is_object();
      if (!usable) {
        services = wanted.at("services");
      } else {
        services.front()["internal_port"] = change.to;
        services.front()["ports"].front()["port"] = change.to;
      }
    }
  }
  return config;
}

Action action_on(ActionKind kind, const std::string& meter_id, const LiveMediator& live) {
  Action action;
  action.kind = kind;
  action.meter_id = meter_id;
  action.machine = live.machine;
  return action;
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

bool Action::destroys() const {
  return prune && (kind == ActionKind::kDuplicate || kind == ActionKind::kOrphan);
}

bool Action::has_work() const {
  switch (kind) {
    case ActionKind::kCreate:
    case ActionKind::kUpdate:
    case ActionKind::kStart:
      return true;
    case ActionKind::kDuplicate:
    case ActionKind::kOrphan:
      return prune;
    case ActionKind::kOk:
      break;
  }
  return false;
}

Summary Plan::summary() const {
  Summary s;
  for (const auto& action : actions) {
    switch (action.kind) {
      case ActionKind::kCreate:
        ++s.create;
        break;
      case ActionKind::kUpdate:
        ++s.update;
        break;
      case ActionKind::kStart:
        ++s.start;
        break;
      case ActionKind::kOk:
        ++s.ok;
        break;
      case ActionKind::kDuplicate:
        ++s.duplicate;
        break;
      case ActionKind::kOrphan:
        ++s.orphan;
        break;
    }
    if (action.kind == ActionKind::kDuplicate || action.kind == ActionKind::kOrphan) {
      ++(action.prune ? s.destroy : s.kept);
    }
  }
  return s;
}

bool Plan::in_step() const {
  return std::none_of(actions.begin(), actions.end(),
                      [](const Action& action) { return action.has_work(); });
}

Plan plan(FlyAdapter& adapter, const std::vector<Meter>& meters, const PlanOptions& options) {
  if (!adapter.fly_app()) throw std::logic_error("the fleet needs an app name (app_name)");
  std::unordered_map<std::string, const Meter*> by_id;
  for (const Meter& meter : meters) by_id.emplace(meter.meter_id, &meter);
  const bool compare_image = !adapter.image().empty();
  const bool compare_cmd = options.cmd.has_value();

  // Consumed as the listing arrives: only what an action needs is kept, and a config only
  // where it is to be sent back changed.
  std::vector<LiveMediator> live;
  adapter.each_mediator("", [&](Mediator&& m) {
    if (is_dead(m)) return;
    LiveMediator kept = detail::live_mediator(m);
    if (m.meter_id) {
      auto meter = by_id.find(*m.meter_id);
      if (meter != by_id.end()) {
        json request = wanted_body(adapter, *meter->second, options.cmd);
        const json& wanted = request["config"];
        kept.changes = differences(wanted, m, compare_image, compare_cmd);
        if (!kept.changes.empty())
          kept.config = changed_config(std::move(m.config), kept.changes, wanted);
      }
    }
    live.push_back(std::move(kept));
  });
  const auto primary = detail::primaries(live);

  Plan plan;
  plan.app = *adapter.fly_app();
  plan.region = adapter.region();
  plan.inventory_sha256 = options.inventory_sha256;
  plan.prune = options.prune;
  for (const Meter& meter : meters) {
    auto found = primary.find(meter.meter_id);
    if (found == primary.end()) {
      Action create;
      create.kind = ActionKind::kCreate;
      create.meter_id = meter.meter_id;
      if (compare_image && options.cmd) create.body = wanted_body(adapter, meter, options.cmd);
      plan.actions.push_back(std::move(create));
      continue;
    }
    LiveMediator& chosen = live[found->second];
    const ActionKind kind = !chosen.changes.empty() ? ActionKind::kUpdate
                            : !chosen.started       ? ActionKind::kStart
                                                    : ActionKind::kOk;
    Action action = action_on(kind, meter.meter_id, chosen);
    if (kind == ActionKind::kUpdate) {
      action.changes = std::move(chosen.changes);
      action.body = std::move(chosen.config);
    }
    plan.actions.push_back(std::move(action));
  }
  for (std::size_t i = 0; i < live.size(); ++i) {
    const LiveMediator& m = live[i];
    const bool of_inventory = m.meter_id && by_id.count(*m.meter_id) > 0;
    if (of_inventory && primary.at(*m.meter_id) == i) continue;
    Action action = action_on(of_inventory ? ActionKind::kDuplicate : ActionKind::kOrphan,
                              m.meter_id.value_or(""), m);
    action.prune = options.prune;
    if (of_inventory) action.primary_id = live[primary.at(*m.meter_id)].machine.id;
    plan.actions.push_back(std::move(action));
  }
  return plan;
}

}  // namespace quelmar::orchestrate::fleet
