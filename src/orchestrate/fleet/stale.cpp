#include <unordered_map>
#include <unordered_set>

#include "quelmar/orchestrate/fleet/plan_file.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

using adapter::vostrel::Mediator;

// How a listed machine differs from what the plan saw; empty when it does not.
std::string change_of(const Machine& seen, const Mediator& now) {
  std::string what;
  const auto add = [&what](const std::string& part) { what += (what.empty() ? "" : ", ") + part; };
  const std::string state = now.platform_state.value_or("");
  if (state != seen.state) add("state " + seen.state + " -> " + state);
  const std::string instance = now.instance_id.value_or("");
  if (instance != seen.instance_id) add("instance_id " + seen.instance_id + " -> " + instance);
  if (util::dump_json(now.config.json()) != seen.config) add("config changed");
  return what;
}

}  // namespace

std::vector<StaleMachine> stale_machines(adapter::vostrel::Machines& adapter, const Plan& plan) {
  // Every machine the plan names, and every meter it would create a mediator for.
  std::unordered_map<std::string, const Action*> named;
  std::unordered_map<std::string, bool> creates;  // meter id -> a mediator is listed now
  for (const Action& action : plan.actions) {
    if (action.machine) named.emplace(action.machine->id, &action);
    if (action.kind == ActionKind::kCreate) creates.emplace(action.meter_id, false);
  }
  std::vector<StaleMachine> stale;
  std::unordered_set<std::string> listed;
  adapter.each_mediator("", [&](Mediator&& m) {
    if (!m.id) return;
    if (auto found = named.find(*m.id); found != named.end()) {
      listed.insert(*m.id);
      const Action& action = *found->second;
      std::string what = change_of(*action.machine, m);
      if (!what.empty()) stale.push_back({*m.id, action.meter_id, std::move(what)});
    } else if (!is_dead(m) && m.meter_id) {
      auto create = creates.find(*m.meter_id);
      if (create != creates.end() && !create->second) {
        create->second = true;
        stale.push_back({*m.id, *m.meter_id, "a new mediator of a meter the plan creates one for"});
      }
    }
  });
  for (const Action& action : plan.actions) {
    if (action.machine && listed.count(action.machine->id) == 0) {
      stale.push_back({action.machine->id, action.meter_id, "no longer listed"});
    }
  }
  return stale;
}

}  // namespace quelmar::orchestrate::fleet
