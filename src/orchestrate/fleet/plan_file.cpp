#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "quelmar/orchestrate/adapter/machine_config.hpp"
#include "quelmar/orchestrate/fleet/plan_file.hpp"
#include "quelmar/util/atomic_file.hpp"
#include "quelmar/util/file_reading.hpp"
#include "quelmar/util/json_dom_builder.hpp"
#include "quelmar/util/json_text.hpp"
#include "quelmar/util/truncate.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

using nlohmann::json;

constexpr std::size_t kMaxPlanDepth = 128;
constexpr int kFirstFormat = 1;

[[noreturn]] void malformed(const std::string& why) {
  throw PlanFileError("malformed plan file: " + why);
}

// A text of the file in a message: bounded, since the file may hold anything.
std::string shown(const std::string& text) {
  constexpr std::size_t kShown = 80;
  return "'" + util::truncated(text, kShown) + "'";
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

// What no plan that this program wrote can hold.
void check_consistent(const Plan& plan) {
  // Views of the plan's own texts: nothing is copied.
  std::unordered_set<std::string_view> machines;
  std::unordered_map<std::string_view, const Action*> own;  // each meter's own action
  machines.reserve(plan.actions.size());
  own.reserve(plan.actions.size());
  for (const Action& action : plan.actions) {
    if (action.machine && !machines.insert(std::string_view(action.machine->id)).second) {
      malformed("machine " + shown(action.machine->id) + " is named twice");
    }
    const bool of_meter =
        action.kind != ActionKind::kDuplicate && action.kind != ActionKind::kOrphan;
    if (of_meter && !own.emplace(std::string_view(action.meter_id), &action).second) {
      malformed("meter " + shown(action.meter_id) + " has two actions");
    }
    if (!of_meter && action.prune != plan.prune) {
      malformed("an action's \"prune\" differs from the plan's");
    }
  }
  for (const Action& action : plan.actions) {
    if (action.kind != ActionKind::kDuplicate) continue;
    auto found = own.find(std::string_view(action.meter_id));
    const bool primary_named = found != own.end() && found->second->machine &&
                               found->second->machine->id == action.primary_id;
    if (!primary_named) {
      malformed("the primary of duplicate " + shown(action.machine->id) +
                " is not the machine of an action of meter " + shown(action.meter_id));
    }
  }
}

// A create sends exactly what it shows: its request must be the one this program builds from
// the fields shown (region, name, image, command, meter, addresses, port, cert-auth).
void check_create(const Plan& plan, const Action& create) {
  using adapter::machine_config::RequestMismatch;
  const auto mismatch =
      adapter::machine_config::check_create_request(create.body, create.meter_id, plan.region);
  if (!mismatch) return;
  switch (*mismatch) {
    case RequestMismatch::kRegion:
      malformed("a create of meter " + shown(create.meter_id) +
                " goes to another region than the plan's");
    case RequestMismatch::kMeter:
      malformed("a create of meter " + shown(create.meter_id) + " is for another meter");
    case RequestMismatch::kContent:
      break;
  }
  malformed("the create of meter " + shown(create.meter_id) +
            " holds more or other than a create request shows");
}

// The plan's own fields, the format first.
Plan plan_header(const json& document, const std::optional<std::string>& app) {
  if (!document.is_object()) malformed("not a JSON object");
  const json& format = field(document, "format", json::value_t::number_integer, "the plan");
  if (format >= kFirstFormat && format < PLAN_FORMAT) {
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
  return plan;
}

// One action, checked as far as it can be on its own.
Action action_from(const json& entry) {
  Action action;
  const std::string kind = text(entry, "action", "an action");
  const auto known = action_kind_of(kind);
  if (!known) malformed("unknown action " + shown(kind));
  action.kind = *known;
  action.meter_id = text(entry, "meter_id", "an action");
  const json* listed = nullptr;
  switch (action.kind) {
    case ActionKind::kCreate:
      action.body = field(entry, "request", json::value_t::object, "a create");
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
  return action;
}

void check_whole(const Plan& plan) {
  for (const Action& action : plan.actions) {
    if (action.kind == ActionKind::kCreate) check_create(plan, action);
  }
  check_consistent(plan);
}

// Builds each element of the top-level "actions" array while it is parsed and hands it over,
// so that a large plan never exists as one document; every other value is kept in document().
class PlanReader final : public util::JsonDomBuilder {
 public:
  explicit PlanReader(std::function<void(json&&)> take)
      : JsonDomBuilder(kMaxPlanDepth), take_(std::move(take)) {}

  bool actions_seen = false;
  bool actions_twice = false;

 protected:
  Route route(std::size_t depth, const std::string* key, json::value_t kind) override {
    if (depth != 1 || key == nullptr || *key != "actions" || kind != json::value_t::array) {
      return Route::kKeep;
    }
    if (actions_seen) {
      actions_twice = true;
      return Route::kStop;
    }
    actions_seen = true;
    return Route::kStream;
  }
  void take(json&& element) override { take_(std::move(element)); }

 private:
  std::function<void(json&&)> take_;
};

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
  Plan plan = plan_header(document, app);
  const json& entries = field(document, "actions", json::value_t::array, "the plan");
  plan.actions.reserve(entries.size());
  for (const json& entry : entries) plan.actions.push_back(action_from(entry));
  check_whole(plan);
  return plan;
}

Plan plan_from_text(std::string_view text, const std::optional<std::string>& app) {
  // JSON text never holds one, and the parser would take it for the end of the text.
  if (text.find('\0') != std::string_view::npos) malformed("holds a NUL byte");
  std::vector<Action> actions;
  // Well over the actions a file of this size can hold would be wasteful; a fair guess avoids
  // most moves of a growing vector.
  actions.reserve(std::min<std::size_t>(text.size() / 256, std::size_t{1} << 20));
  std::optional<PlanFileError> first_error;
  PlanReader reader([&](json&& entry) {
    if (first_error) return;
    try {
      actions.push_back(action_from(entry));
    } catch (const PlanFileError& e) {
      first_error = e;
    }
  });
  const bool parsed = json::sax_parse(text.begin(), text.end(), &reader);
  if (reader.too_deep()) malformed("nested too deeply");
  if (!parsed) malformed("not one JSON document");
  if (reader.actions_twice || (reader.actions_seen && reader.document().contains("actions"))) {
    malformed("the plan has \"actions\" twice");
  }
  // Which plan this is comes first: a plan of another format fails its actions too.
  Plan plan = plan_header(reader.document(), app);
  if (!reader.actions_seen) field(reader.document(), "actions", json::value_t::array, "the plan");
  if (first_error) throw *first_error;
  plan.actions = std::move(actions);
  check_whole(plan);
  return plan;
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
