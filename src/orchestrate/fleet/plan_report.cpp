#include "quelmar/orchestrate/fleet/plan_report.hpp"

#include <ostream>
#include <sstream>

#include "quelmar/util/escape.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::fleet {
namespace {

namespace machine_config = adapter::machine_config;
using nlohmann::ordered_json;
using util::escape_for_terminal;

// A value as the plan shows it: a text as it is, "(none)" when absent.
std::string shown_value(const std::optional<nlohmann::json>& value) {
  return value ? escape_for_terminal(util::text_form(*value)) : "(none)";
}

ordered_json json_or_null(const std::optional<nlohmann::json>& value) {
  return value ? ordered_json(*value) : ordered_json(nullptr);
}

std::string create_text(const Plan& plan, const Action& action) {
  // Without an image and a command there is nothing to send yet.
  if (!action.body.is_object())
    return " (new mediator in " + escape_for_terminal(plan.region) + ")";
  std::string text = " (new mediator:";
  for (const auto& [name, value] : machine_config::create_fields(action.body)) {
    text += " " + name + " " + shown_value(value) + (name == "cert_auth" ? "" : ",");
  }
  return text + ")";
}

std::string update_text(const Action& action) {
  std::string text = " (";
  for (std::size_t i = 0; i < action.changes.size(); ++i) {
    const auto& c = action.changes[i];
    text += (i > 0 ? ", " : "") + escape_for_terminal(c.path) + " " + shown_value(c.from) + " -> " +
            shown_value(c.to);
  }
  return text + ")";
}

std::string destroy_text(const Action& action) {
  const auto& m = *action.machine;
  if (!action.prune) return " (kept: no --prune)";
  std::string text =
      " (destroy " + escape_for_terminal(m.name) + ", " + escape_for_terminal(m.state);
  if (action.primary_id) text += "; primary " + escape_for_terminal(*action.primary_id);
  return text + ")";
}

ordered_json action_json(const Plan& plan, const Action& action) {
  const auto& m = action.machine;
  ordered_json entry{
      {"action", to_string(action.kind)},
      {"meter_id", action.meter_id.empty() ? ordered_json(nullptr) : ordered_json(action.meter_id)},
      {"machine_id", m ? ordered_json(m->id) : ordered_json(nullptr)},
      {"region", m ? m->region : plan.region}};
  if (action.kind == ActionKind::kCreate && !action.body.is_object()) {
    entry["create"] = nullptr;
  } else if (action.kind == ActionKind::kCreate) {
    auto sent = ordered_json::object();
    for (const auto& [name, value] : machine_config::create_fields(action.body)) {
      sent[name] = json_or_null(value);
    }
    entry["create"] = std::move(sent);
  }
  if (action.kind == ActionKind::kUpdate) {
    auto changes = ordered_json::array();
    auto diff = ordered_json::object();
    for (const auto& c : action.changes) {
      changes.push_back(c.path);
      diff[c.path] = {{"from", json_or_null(c.from)}, {"to", json_or_null(c.to)}};
    }
    entry["changes"] = std::move(changes);
    entry["diff"] = std::move(diff);
  }
  if (action.kind == ActionKind::kDuplicate || action.kind == ActionKind::kOrphan) {
    entry["prune"] = action.prune;
    entry["name"] = m->name;
    entry["state"] = m->state;
    if (action.primary_id) entry["primary_id"] = *action.primary_id;
  }
  return entry;
}

}  // namespace

std::string action_head(ActionKind kind, const std::string& meter_id,
                        const std::optional<std::string>& machine_id, const std::string& region) {
  std::string text =
      to_string(kind) + " " + (meter_id.empty() ? std::string("-") : escape_for_terminal(meter_id));
  if (machine_id)
    text += " " + escape_for_terminal(*machine_id) + " " + escape_for_terminal(region);
  return text;
}

std::string plan_line(const Plan& plan, const Action& action) {
  const auto& m = action.machine;
  const std::string head = action_head(action.kind, action.meter_id,
                                       m ? std::optional(m->id) : std::nullopt, m ? m->region : "");
  switch (action.kind) {
    case ActionKind::kCreate:
      return head + create_text(plan, action);
    case ActionKind::kUpdate:
      return head + update_text(action);
    case ActionKind::kStart:
      return head + " (" + escape_for_terminal(m->state) + ")";
    case ActionKind::kDuplicate:
    case ActionKind::kOrphan:
      return head + destroy_text(action);
    case ActionKind::kOk:
      break;
  }
  return head;
}

std::string plan_summary_line(const Plan& plan) {
  const Summary s = plan.summary();
  std::ostringstream line;
  line << "plan for " << escape_for_terminal(plan.app) << ": " << s.create << " create, "
       << s.update << " update, " << s.start << " start, " << s.ok << " ok, " << s.duplicate
       << " duplicate, " << s.orphan << " orphan; " << s.destroy << " to destroy, " << s.kept
       << " kept";
  return line.str();
}

nlohmann::ordered_json plan_report_json(const Plan& plan) {
  auto actions = ordered_json::array();
  for (const auto& action : plan.actions) actions.push_back(action_json(plan, action));
  const Summary s = plan.summary();
  const ordered_json summary{
      {"create", s.create},       {"update", s.update}, {"start", s.start},     {"ok", s.ok},
      {"duplicate", s.duplicate}, {"orphan", s.orphan}, {"destroy", s.destroy}, {"kept", s.kept}};
  return {{"app", plan.app}, {"actions", std::move(actions)}, {"summary", summary}};
}

void write_plan_report(std::ostream& out, const Plan& plan, ReportFormat format) {
  if (format == ReportFormat::kJson) {
    out << util::dump_json(plan_report_json(plan), util::JsonCharset::kAscii) << '\n';
    return;
  }
  for (const auto& action : plan.actions) {
    if (action.kind != ActionKind::kOk) out << plan_line(plan, action) << '\n';
  }
  out << plan_summary_line(plan) << '\n';
}

}  // namespace quelmar::orchestrate::fleet
