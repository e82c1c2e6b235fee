// A plan as the operator reads it before anything is sent: one line per action with something
// to do and a summary, or the JSON {app, actions, summary}. Not the plan file, which keeps
// every config for apply.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "quelmar/orchestrate/fleet/plan.hpp"
#include "quelmar/orchestrate/fleet/report_format.hpp"

namespace quelmar::orchestrate::fleet {

// "ACTION METER_ID [MACHINE_ID REGION]", "-" for a missing meter id; shared with apply results.
std::string action_head(ActionKind kind, const std::string& meter_id,
                        const std::optional<std::string>& machine_id, const std::string& region);

// One action: its head, then what it does ("(new mediator: region iad, ...)", the changes of an
// update "path from -> to", the state a start finds, whether a duplicate or orphan is destroyed).
std::string plan_line(const Plan& plan, const Action& action);

// "plan for APP: N create, N update, ...; N to destroy, N kept".
std::string plan_summary_line(const Plan& plan);

nlohmann::ordered_json plan_report_json(const Plan& plan);

// Text: a line per action that is not ok, then the summary. JSON: one document on one line.
void write_plan_report(std::ostream& out, const Plan& plan, ReportFormat format);

}  // namespace quelmar::orchestrate::fleet
