#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

#include "quelmar/orchestrate/fleet.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

using nlohmann::json;

constexpr int kMaxPlanDepth = 128;

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

const json& field(const json& object, const char* key, json::value_t type, const char* where) {
  if (!object.is_object() || !object.contains(key)) {
    malformed(std::string(where) + " has no \"" + key + "\"");
  }
  const json& value = object[key];
  const bool fits =
      value.type() == type || (type == json::value_t::number_integer && value.is_number_integer());
  if (!fits) malformed(std::string(where) + " \"" + key + "\" has the wrong type");
  return value;
}

std::string text(const json& object, const char* key, const char* where) {
  return field(object, key, json::value_t::string, where).get<std::string>();
}

json machine_json(const Machine& m) {
  return {{"id", m.id},
          {"name", m.name},
          {"region", m.region},
          {"state", m.state},
          {"instance_id", m.instance_id}};
}

Machine machine_from(const json& entry) {
  const json& m = field(entry, "machine", json::value_t::object, "an action");
  return {.id = text(m, "id", "a machine"),
          .name = text(m, "name", "a machine"),
          .region = text(m, "region", "a machine"),
          .state = text(m, "state", "a machine"),
          .instance_id = text(m, "instance_id", "a machine")};
}

}  // namespace

json plan_to_json(const Plan& plan) {
  json actions = json::array();
  for (const Action& action : plan.actions) {
    json entry{{"action", to_string(action.kind)}, {"meter_id", action.meter_id}};
    if (action.machine) entry["machine"] = machine_json(*action.machine);
    if (action.kind == ActionKind::kUpdate) {
      json changes = json::array();
      for (const Change& c : action.changes) {
        changes.push_back({{"field", c.field}, {"from", c.from}, {"to", c.to}});
      }
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

Plan plan_from_json(const json& document, const std::string& app) {
  if (!document.is_object()) malformed("not a JSON object");
  const json& format = field(document, "format", json::value_t::number_integer, "the plan");
  if (format != PLAN_FORMAT) {
    throw PlanFileError("plan file of format " + format.dump() + "; this quelmar reads format " +
                        std::to_string(PLAN_FORMAT));
  }
  Plan plan;
  plan.app = text(document, "app", "the plan");
  if (plan.app != app) {
    throw PlanFileError("the plan is for app '" + plan.app + "', not '" + app + "'");
  }
  plan.region = text(document, "region", "the plan");
  plan.inventory_sha256 = text(document, "inventory_sha256", "the plan");
  plan.prune = field(document, "prune", json::value_t::boolean, "the plan").get<bool>();
  for (const json& entry : field(document, "actions", json::value_t::array, "the plan")) {
    Action action;
    const std::string kind = text(entry, "action", "an action");
    auto known = action_kinds().find(kind);
    if (known == action_kinds().end()) malformed("unknown action \"" + kind + "\"");
    action.kind = known->second;
    action.meter_id = text(entry, "meter_id", "an action");
    switch (action.kind) {
      case ActionKind::kCreate:
        action.body = field(entry, "request", json::value_t::object, "a create");
        break;
      case ActionKind::kUpdate:
        action.machine = machine_from(entry);
        action.body = field(entry, "config", json::value_t::object, "an update");
        for (const json& c : field(entry, "changes", json::value_t::array, "an update")) {
          action.changes.push_back(
              {text(c, "field", "a change"), c.value("from", json()), c.value("to", json())});
        }
        break;
      case ActionKind::kDuplicate:
        action.primary_id = text(entry, "primary_id", "a duplicate");
        [[fallthrough]];
      case ActionKind::kOrphan:
        action.machine = machine_from(entry);
        action.prune = field(entry, "prune", json::value_t::boolean, "an action").get<bool>();
        break;
      case ActionKind::kStart:
      case ActionKind::kOk:
        action.machine = machine_from(entry);
        break;
    }
    plan.actions.push_back(std::move(action));
  }
  return plan;
}

void write_plan_file(const std::string& path, const Plan& plan) {
  const std::string text = plan_to_json(plan).dump(2) + "\n";
  // A fresh file beside the target, owner-only from its creation, renamed over it once whole.
  const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
  }
}

Plan read_plan_file(const std::string& path, const std::string& app) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read the plan " + path);
  // Deeper documents are refused unread, as answers are: nothing in a plan nests that far.
  bool too_deep = false;
  const json::parser_callback_t limit = [&too_deep](int depth, json::parse_event_t, json&) {
    if (depth >= kMaxPlanDepth) too_deep = true;
    return !too_deep;
  };
  const json document = json::parse(file, limit, false);
  if (too_deep) malformed("nested too deeply");
  if (file.bad()) throw std::runtime_error("cannot read the plan " + path);
  if (document.is_discarded()) malformed("not JSON");
  return plan_from_json(document, app);
}

}  // namespace quelmar::orchestrate::fleet
