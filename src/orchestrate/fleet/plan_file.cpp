#include <algorithm>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "quelmar/orchestrate/fleet.hpp"
#include "quelmar/util/atomic_file.hpp"
#include "quelmar/util/file_reading.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

using adapter::base_adapter::kMeterIdKey;
using nlohmann::json;

constexpr std::size_t kMaxPlanDepth = 128;
constexpr int kFirstFormat = 1;

const std::map<std::string, ActionKind>& action_kinds() {
  static const std::map<std::string, ActionKind> kinds{
      {"create", ActionKind::kCreate},       {"update", ActionKind::kUpdate},
      {"start", ActionKind::kStart},         {"ok", ActionKind::kOk},
      {"duplicate", ActionKind::kDuplicate}, {"orphan", ActionKind::kOrphan}};
  return kinds;
}

[[noreturn]] void malformed(const std::string& why) {
  throw PlanFileError("malformed plan file: " + why);
}

// A text of the file in a message: bounded, since the file may hold anything.
std::string shown(const std::string& text) {
  constexpr std::size_t kShown = 80;
  return "'" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "'";
}

const json& field(const json& object, const char* key, json::value_t type, const char* where) {
  if (!object.is_object()) malformed(std::string(where) + " is no JSON object");
  auto found = object.find(key);
  if (found == object.end()) malformed(std::string(where) + " has no \"" + key + "\"");
  const bool fits = found->type() == type ||
                    (type == json::value_t::number_integer && found->is_number_integer());
  if (!fits) malformed(std::string(where) + " \"" + key + "\" has the wrong type");
  return *found;
}

std::string text(const json& object, const char* key, const char* where) {
  return field(object, key, json::value_t::string, where).get<std::string>();
}

json machine_json(const Machine& m) {
  json config = json::parse(m.config, nullptr, false);
  return {{"id", m.id},
          {"name", m.name},
          {"region", m.region},
          {"state", m.state},
          {"instance_id", m.instance_id},
          {"config", config.is_discarded() ? json() : std::move(config)}};
}

// The machine an action names, and its listed config as a document.
Machine machine_from(const json& entry, const json*& config) {
  const json& m = field(entry, "machine", json::value_t::object, "an action");
  auto found = m.find("config");
  if (found == m.end()) malformed("a machine has no \"config\"");
  config = &*found;
  return {.id = text(m, "id", "a machine"),
          .name = text(m, "name", "a machine"),
          .region = text(m, "region", "a machine"),
          .state = text(m, "state", "a machine"),
          .instance_id = text(m, "instance_id", "a machine"),
          .config = util::dump_json(*found)};
}

json change_json(const Change& c) {
  json entry{{"path", c.path}};
  if (c.from) entry["from"] = *c.from;
  if (c.to) entry["to"] = *c.to;
  return entry;
}

Change change_from(const json& entry) {
  Change c{.path = text(entry, "path", "a change")};
  if (auto from = entry.find("from"); from != entry.end()) c.from = *from;
  if (auto to = entry.find("to"); to != entry.end()) c.to = *to;
  return c;
}

std::vector<Change> by_path(std::vector<Change> changes) {
  std::sort(changes.begin(), changes.end(),
            [](const Change& a, const Change& b) { return a.path < b.path; });
  return changes;
}

// Whether containers nest deeper than any plan does; looked at before parsing, in one pass.
bool too_deep(std::string_view text) {
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxPlanDepth) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

// What no plan that this program wrote can hold.
void check_consistent(const Plan& plan) {
  std::unordered_set<std::string> machines;
  std::unordered_map<std::string, const Action*> own;  // each meter's own action
  for (const Action& action : plan.actions) {
    if (action.machine && !machines.insert(action.machine->id).second) {
      malformed("machine " + shown(action.machine->id) + " is named twice");
    }
    const bool of_meter =
        action.kind != ActionKind::kDuplicate && action.kind != ActionKind::kOrphan;
    if (of_meter && !own.emplace(action.meter_id, &action).second) {
      malformed("meter " + shown(action.meter_id) + " has two actions");
    }
    if (!of_meter && action.prune != plan.prune) {
      malformed("an action's \"prune\" differs from the plan's");
    }
  }
  for (const Action& action : plan.actions) {
    if (action.kind != ActionKind::kDuplicate) continue;
    auto found = own.find(action.meter_id);
    const bool primary_named = found != own.end() && found->second->machine &&
                               found->second->machine->id == action.primary_id;
    if (!primary_named) {
      malformed("the primary of duplicate " + shown(action.machine->id) +
                " is not the machine of an action of meter " + shown(action.meter_id));
    }
  }
}

void check_create(const Plan& plan, const Action& create) {
  const json& request = create.body;
  const auto region = request.find("region");
  if (region == request.end() || *region != plan.region) {
    malformed("a create of meter " + shown(create.meter_id) +
              " goes to another region than the plan's");
  }
  const json* config = request.contains("config") ? &request["config"] : nullptr;
  const json* metadata = config && config->is_object() && config->contains("metadata")
                             ? &(*config)["metadata"]
                             : nullptr;
  if (!metadata || !metadata->is_object() ||
      metadata->value(kMeterIdKey, json()) != create.meter_id) {
    malformed("a create of meter " + shown(create.meter_id) + " is for another meter");
  }
}

}  // namespace

json plan_to_json(const Plan& plan) {
  json actions = json::array();
  for (const Action& action : plan.actions) {
    json entry{{"action", to_string(action.kind)}, {"meter_id", action.meter_id}};
    if (action.machine) entry["machine"] = machine_json(*action.machine);
    if (action.kind == ActionKind::kUpdate) {
      json changes = json::array();
      for (const Change& c : action.changes) changes.push_back(change_json(c));
      entry["changes"] = std::move(changes);
    }
    if (action.kind == ActionKind::kCreate || action.kind == ActionKind::kUpdate) {
      entry[action.kind == ActionKind::kCreate ? "request" : "config"] = action.body;
    }
    if (action.kind == ActionKind::kDuplicate || action.kind == ActionKind::kOrphan) {
      entry["prune"] = action.prune;
    }
    if (action.primary_id) entry["primary_id"] = *action.primary_id;
    actions.push_back(std::move(entry));
  }
  return {{"format", PLAN_FORMAT}, {"app", plan.app},
          {"region", plan.region}, {"inventory_sha256", plan.inventory_sha256},
          {"prune", plan.prune},   {"actions", std::move(actions)}};
}

Plan plan_from_json(const json& document, const std::optional<std::string>& app) {
  if (!document.is_object()) malformed("not a JSON object");
  const json& format = field(document, "format", json::value_t::number_integer, "the plan");
  if (format.is_number_integer() && format >= kFirstFormat && format < PLAN_FORMAT) {
    throw PlanFileError("made by an older quelmar; make a new plan");
  }
  if (format != PLAN_FORMAT) {
    throw PlanFileError("plan file of format " + format.dump() + "; this quelmar reads format " +
                        std::to_string(PLAN_FORMAT));
  }
  Plan plan;
  plan.app = text(document, "app", "the plan");
  if (app && plan.app != *app) {
    throw PlanFileError("the plan is for app " + shown(plan.app) + ", not '" + *app + "'");
  }
  plan.region = text(document, "region", "the plan");
  plan.inventory_sha256 = text(document, "inventory_sha256", "the plan");
  plan.prune = field(document, "prune", json::value_t::boolean, "the plan").get<bool>();
  const json& entries = field(document, "actions", json::value_t::array, "the plan");
  plan.actions.reserve(entries.size());
  for (const json& entry : entries) {
    Action action;
    const std::string kind = text(entry, "action", "an action");
    auto known = action_kinds().find(kind);
    if (known == action_kinds().end()) malformed("unknown action " + shown(kind));
    action.kind = known->second;
    action.meter_id = text(entry, "meter_id", "an action");
    const json* listed = nullptr;
    switch (action.kind) {
      case ActionKind::kCreate:
        action.body = field(entry, "request", json::value_t::object, "a create");
        check_create(plan, action);
        break;
      case ActionKind::kUpdate: {
        action.machine = machine_from(entry, listed);
        action.body = field(entry, "config", json::value_t::object, "an update");
        for (const json& c : field(entry, "changes", json::value_t::array, "an update")) {
          action.changes.push_back(change_from(c));
        }
        // The changes shown are the changes sent.
        const auto sent = adapter::machine_config::differences(*listed, action.body);
        if (sent.empty() || by_path(action.changes) != by_path(sent)) {
          malformed("the changes of the update of " + shown(action.machine->id) +
                    " are not how its config differs from the listed one");
        }
        break;
      }
      case ActionKind::kDuplicate:
        action.primary_id = text(entry, "primary_id", "a duplicate");
        [[fallthrough]];
      case ActionKind::kOrphan:
        action.machine = machine_from(entry, listed);
        action.prune = field(entry, "prune", json::value_t::boolean, "an action").get<bool>();
        break;
      case ActionKind::kStart:
      case ActionKind::kOk:
        action.machine = machine_from(entry, listed);
        break;
    }
    plan.actions.push_back(std::move(action));
  }
  check_consistent(plan);
  return plan;
}

Plan plan_from_text(std::string_view text, const std::optional<std::string>& app) {
  // JSON text never holds one, and the parser would take it for the end of the text.
  if (text.find('\0') != std::string_view::npos) malformed("holds a NUL byte");
  if (too_deep(text)) malformed("nested too deeply");
  // Without a callback: the parser's callback mode is quadratic in the length of an array.
  const json document = json::parse(text.begin(), text.end(), nullptr, false);
  if (document.is_discarded()) malformed("not one JSON document");
  return plan_from_json(document, app);
}

void write_plan_file(const std::string& path, const Plan& plan) {
  const std::string text =
      plan_to_json(plan).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  // Owner-only: configs may hold secrets.
  if (const std::error_code error = util::replace_file_atomically(
          path, text, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)) {
    throw std::runtime_error("cannot write " + path + ": " + error.message());
  }
}

Plan read_plan_file(const std::string& path, const std::optional<std::string>& app) {
  const std::string text =
      util::read_whole_file(path, {.max_bytes = MAX_PLAN_FILE_BYTES, .only_owner_writes = true});
  return plan_from_text(text, app);
}

}  // namespace quelmar::orchestrate::fleet
