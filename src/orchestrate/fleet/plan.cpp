#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "live_mediators.hpp"
#include "quelmar/orchestrate/adapter/serving_mediators.hpp"
#include "quelmar/orchestrate/fleet/plan.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

namespace machine_config = adapter::machine_config;
using adapter::vostrel::Machines;
using adapter::vostrel::Mediator;
using detail::LiveMediator;
using nlohmann::json;

// The create request a meter's mediator would get: what it should look like.
json wanted_body(const Machines& adapter, const Meter& meter,
                 const std::optional<std::string>& cmd) {
  return adapter.create_body({.cmd = cmd.value_or(""),
                              .meter_id = meter.meter_id,
                              .serial = meter.serial,
                              .ip_address = meter.ip_address,
                              .port = meter.port,
                              .use_cert_auth = meter.cert_auth});
}

Action action_on(ActionKind kind, const std::string& meter_id, const LiveMediator& live) {
  Action action;
  action.kind = kind;
  action.meter_id = meter_id;
  action.machine = live.machine;
  return action;
}

// Every kind with its text, the one table both directions are read from.
constexpr std::array<std::pair<ActionKind, std::string_view>, 6> kActionKindTexts{{
    {ActionKind::kCreate, "create"},
    {ActionKind::kUpdate, "update"},
    {ActionKind::kStart, "start"},
    {ActionKind::kOk, "ok"},
    {ActionKind::kDuplicate, "duplicate"},
    {ActionKind::kOrphan, "orphan"},
}};

}  // namespace

std::string to_string(ActionKind kind) {
  for (const auto& [known, text] : kActionKindTexts) {
    if (known == kind) return std::string(text);
  }
  return "?";
}

std::optional<ActionKind> action_kind_of(std::string_view text) {
  for (const auto& [kind, known] : kActionKindTexts) {
    if (known == text) return kind;
  }
  return std::nullopt;
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

Plan plan(Machines& adapter, const std::vector<Meter>& meters, const PlanOptions& options) {
  if (!adapter.fly_app()) throw std::logic_error("the fleet needs an app name (app_name)");
  std::unordered_map<std::string, const Meter*> by_id;
  for (const Meter& meter : meters) by_id.emplace(meter.meter_id, &meter);
  const bool compare_image = !adapter.image().empty();
  const machine_config::Compared compared{.image = compare_image, .cmd = options.cmd.has_value()};

  // Consumed as the listing arrives: only what an action needs is kept, and a config only
  // where it is to be sent back changed.
  std::vector<LiveMediator> live;
  adapter::mediator::ServingMediators serving;
  adapter.each_mediator("", [&](Mediator&& m) {
    if (is_dead(m)) return;
    serving.offer(m, live.size());
    LiveMediator kept = detail::live_mediator(m);
    kept.machine.config = util::dump_json(m.config.json());
    if (m.meter_id) {
      auto meter = by_id.find(*m.meter_id);
      if (meter != by_id.end()) {
        const auto wanted = machine_config::MachineConfig::of_request(
            wanted_body(adapter, *meter->second, options.cmd));
        auto to_send = m.config.in_step_with(wanted, compared);
        kept.changes = m.config.differences_to(to_send);
        if (!kept.changes.empty()) kept.config = std::move(to_send).json();
      }
    }
    live.push_back(std::move(kept));
  });
  const auto primary = serving.all();

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
