#include "quelmar/orchestrate/fleet/metrics.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "quelmar/util/prometheus_text.hpp"

namespace quelmar::orchestrate::fleet::metrics {

namespace {

namespace prometheus = util::prometheus;
using prometheus::label;

constexpr std::array kPending{"create", "update", "start", "destroy"};
constexpr std::array kActions{ActionKind::kCreate, ActionKind::kUpdate,    ActionKind::kStart,
                              ActionKind::kOk,     ActionKind::kDuplicate, ActionKind::kOrphan};
constexpr std::array kOutcomes{"changed", "in_step", "failed", "skipped", "kept"};

// Which of the pending kinds an action is; empty when it is none (ok, or a kept machine).
std::string_view pending_kind(const Action& action) {
  switch (action.kind) {
    case ActionKind::kCreate:
      return "create";
    case ActionKind::kUpdate:
      return "update";
    case ActionKind::kStart:
      return "start";
    case ActionKind::kDuplicate:
    case ActionKind::kOrphan:
      return action.prune ? "destroy" : "";
    case ActionKind::kOk:
      break;
  }
  return "";
}

template <typename Names>
std::size_t index_of(const Names& names, std::string_view name) {
  std::size_t i = 0;
  while (i < names.size() && names[i] != name) ++i;
  return i;
}

struct Fleet {
  std::array<std::uint64_t, kPending.size() + 1> pending{};  // the last slot: none
  std::uint64_t kept = 0, mediators = 0, meters = 0;
};

// What the plan would do, or with a report, what is left of it: an action that succeeded is
// no longer pending, and it changed the count of mediators when it created or destroyed one.
Fleet fleet_of(const Plan& plan, const Report* report) {
  Fleet fleet;
  for (std::size_t i = 0; i < plan.actions.size(); ++i) {
    const Action& action = plan.actions[i];
    const bool done = report != nullptr && i < report->results.size() &&
                      report->results[i].outcome == Outcome::kOk;
    const bool meter_action =
        action.kind != ActionKind::kDuplicate && action.kind != ActionKind::kOrphan;
    if (meter_action) ++fleet.meters;
    if (action.machine) ++fleet.mediators;
    if (done && action.kind == ActionKind::kCreate) ++fleet.mediators;
    if (done && action.destroys()) --fleet.mediators;
    if (!meter_action && !action.prune) ++fleet.kept;
    if (!done) ++fleet.pending[index_of(kPending, pending_kind(action))];
  }
  return fleet;
}

}  // namespace

std::string render(const std::string& app, const Plan* plan, const Report* report, const Run& run) {
  const std::string app_label = label("app", app);
  std::string out;
  std::string samples;
  const auto one = [&](const char* name, const char* help, std::uint64_t value) {
    samples.clear();
    prometheus::sample(samples, name, app_label, std::to_string(value));
    prometheus::gauge(out, name, help, samples);
  };
  if (plan != nullptr) {
    const Fleet fleet = fleet_of(*plan, report);
    samples.clear();
    for (std::size_t i = 0; i < kPending.size(); ++i) {
      prometheus::sample(samples, "quelmar_fleet_pending_actions",
                         app_label + "," + label("action", kPending[i]),
                         std::to_string(fleet.pending[i]));
    }
    prometheus::gauge(out, "quelmar_fleet_pending_actions",
                      "Actions the fleet needs to be in step with its inventory: what a plan would "
                      "do, or after an apply, what is left to do (destroy: duplicates and orphans "
                      "the plan prunes).",
                      samples);
    one("quelmar_fleet_kept_machines",
        "Duplicate and orphan mediators kept, as the plan does not prune them.", fleet.kept);
    one("quelmar_fleet_mediators", "Live mediator machines of the app.", fleet.mediators);
    one("quelmar_fleet_meters", "Meters in the inventory.", fleet.meters);
  }
  if (plan != nullptr && report != nullptr) {
    std::array<std::array<std::uint64_t, kOutcomes.size() + 1>, kActions.size()> counts{};
    for (const Result& result : report->results) {
      const auto action = static_cast<std::size_t>(
          std::find(kActions.begin(), kActions.end(), result.action) - kActions.begin());
      if (action < kActions.size())
        ++counts[action][index_of(kOutcomes, to_string(class_of(result)))];
    }
    samples.clear();
    for (std::size_t a = 0; a < kActions.size(); ++a) {
      for (std::size_t o = 0; o < kOutcomes.size(); ++o) {
        prometheus::sample(samples, "quelmar_fleet_apply_actions",
                           app_label + "," + label("action", to_string(kActions[a])) + "," +
                               label("outcome", kOutcomes[o]),
                           std::to_string(counts[a][o]));
      }
    }
    prometheus::gauge(out, "quelmar_fleet_apply_actions",
                      "Actions of the last apply by kind and outcome (changed: sent and "
                      "succeeded; in_step: nothing to send).",
                      samples);
  }
  const std::string run_labels = app_label + "," + label("command", run.command);
  samples.clear();
  prometheus::sample(samples, "quelmar_fleet_run_success", run_labels, run.success ? "1" : "0");
  prometheus::gauge(out, "quelmar_fleet_run_success",
                    "Whether the last run did its job (1) or failed (0).", samples);
  samples.clear();
  const double seconds = run.duration.count() > 0 ? run.duration.count() : 0.0;
  prometheus::sample(samples, "quelmar_fleet_run_duration_seconds", run_labels,
                     prometheus::number(seconds, 6));
  prometheus::gauge(out, "quelmar_fleet_run_duration_seconds", "How long the last run took.",
                    samples);
  samples.clear();
  const auto since_epoch = std::chrono::duration<double>(run.finished.time_since_epoch());
  prometheus::sample(samples, "quelmar_fleet_last_run_timestamp_seconds", run_labels,
                     prometheus::number(since_epoch.count(), 3));
  prometheus::gauge(out, "quelmar_fleet_last_run_timestamp_seconds",
                    "When the last run ended, in seconds since the epoch.", samples);
  return out;
}

}  // namespace quelmar::orchestrate::fleet::metrics
