// The plan: one listing of the app's mediators compared with the inventory, as actions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "quelmar/orchestrate/adapter/machine_config.hpp"
#include "quelmar/orchestrate/adapter/machine_name.hpp"
#include "quelmar/orchestrate/adapter/machines.hpp"
#include "quelmar/orchestrate/fleet/inventory.hpp"
#include "quelmar/orchestrate/fleet/machine.hpp"

namespace quelmar::orchestrate::fleet {

// The machine name a meter's mediator gets ("mediator-" + serial).
using adapter::machine_name::mediator_name;

enum class ActionKind { kCreate, kUpdate, kStart, kOk, kDuplicate, kOrphan };
// "create", "update", ...
std::string to_string(ActionKind kind);
// The kind a text of to_string names; absent for any other text.
std::optional<ActionKind> action_kind_of(std::string_view text);

// A field in which the config to send differs from the listed one, by its path in the config
// ("metadata.ip_address", "env.USE_CERT_AUTH", "services[0].ports[0].port", "image", ...).
using Change = adapter::machine_config::Difference;

struct Action {
  ActionKind kind = ActionKind::kOk;
  std::string meter_id{};            // empty for an orphan without one
  std::optional<Machine> machine{};  // absent for create
  std::vector<Change> changes{};     // update only: every field the body changes
  // create: the whole create request; update: the whole config to send, as read from the
  // platform with only the changed fields replaced. Null when it cannot be built (a create
  // without an image or a command).
  nlohmann::json body = nullptr;
  // duplicate and orphan: destroyed when true, kept otherwise.
  bool prune = false;
  // duplicate: its meter's primary mediator, which must be in step before it is destroyed.
  std::optional<std::string> primary_id{};

  bool destroys() const;
  // Whether applying it sends anything.
  bool has_work() const;
};

struct Summary {
  std::size_t create = 0, update = 0, start = 0, ok = 0, duplicate = 0, orphan = 0;
  std::size_t destroy = 0;  // duplicates and orphans the plan destroys
  std::size_t kept = 0;     // duplicates and orphans it keeps
};

struct Plan {
  std::string app{};
  std::string region{};  // where creates go
  std::string inventory_sha256{};
  bool prune = false;
  // Inventory order, then duplicates and orphans in listing order.
  std::vector<Action> actions{};
  Summary summary() const;
  // Nothing to do: every action is ok or keeps a machine.
  bool in_step() const;
};

struct PlanOptions {
  // Destroy duplicates and orphans.
  bool prune = false;
  // The command mediators run: compared with the listed ones, and needed to create.
  std::optional<std::string> cmd{};
  // Recorded in the plan, for a plan file.
  std::string inventory_sha256{};
};

// Whether a listed mediator is on its way out ("destroyed", "destroying"): such a record is
// nobody's mediator, duplicate or orphan.
using adapter::mediator::is_dead;

// Lists the app's mediators in every region once and compares them with the meters. A meter's
// primary mediator is its first "started" one in listing order, else its first listed; the
// others are duplicates. The image is compared when the adapter has one, the command when
// given. Creates go to the adapter's region. Throws PlatformError when the listing fails.
Plan plan(adapter::vostrel::Machines& adapter, const std::vector<Meter>& meters,
          const PlanOptions& options = {});

}  // namespace quelmar::orchestrate::fleet
