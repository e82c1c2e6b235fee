// quelmar fly plan|apply|addresses

#include "fleet_command.hpp"

#include <atomic>
#include <csignal>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "commands.hpp"
#include "count_option.hpp"
#include "fleet_metrics_file.hpp"
#include "quelmar/orchestrate/fleet.hpp"
#include "quelmar/util/calendar.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/file_reading.hpp"
#include "quelmar/util/json_text.hpp"
#include "quelmar/util/truncate.hpp"
#include "run_state.hpp"

namespace quelmar::cli {
namespace {

namespace fleet = orchestrate::fleet;
namespace vostrel = orchestrate::adapter::vostrel;
namespace machine_config = orchestrate::adapter::machine_config;
using nlohmann::ordered_json;
using util::escape_for_terminal;

constexpr int kExitNotInStep = 1;
constexpr int kMaxParallel = 64;
constexpr std::size_t kMaxDestroyLimit = 1'000'000;
constexpr std::size_t kMaxShownChange = 300;

// ASCII-only JSON: no control or bidirectional character of a platform text reaches the
// terminal raw.
std::string dump(const ordered_json& value) {
  return util::dump_json(value, util::JsonCharset::kAscii);
}

ordered_json optional_text(const std::optional<std::string>& text) {
  return text ? ordered_json(*text) : ordered_json(nullptr);
}

ordered_json meter_id_json(const std::string& meter_id) {
  return meter_id.empty() ? ordered_json(nullptr) : ordered_json(meter_id);
}

}  // namespace

// "-" reads standard input.
std::optional<fleet::Inventory> load_inventory(const std::string& path, const Io& io,
                                               fleet::InventoryUse use) {
  const bool from_stdin = path == kStdinPath;
  if (from_stdin) io.state->claim_stdin(kInventoryReader);
  fleet::Inventory inventory = from_stdin ? fleet::read_inventory(io.in, "(standard input)", use)
                                          : fleet::read_inventory(path, use);
  if (inventory.problems.empty()) return inventory;
  const std::string file = from_stdin ? "(standard input)" : escape_for_terminal(path);
  for (const auto& problem : inventory.problems) {
    io.err << "quelmar: " << file << ':' << problem.line << ": "
           << escape_for_terminal(problem.message) << '\n';
  }
  if (inventory.more_problems > 0) {
    io.err << "quelmar: " << file << ": " << inventory.more_problems
           << (inventory.more_problems == 1 ? " more problem\n" : " more problems\n");
  }
  return std::nullopt;
}

namespace {

std::string summary_line(const fleet::Plan& plan) {
  const fleet::Summary s = plan.summary();
  std::ostringstream line;
  line << "plan for " << escape_for_terminal(plan.app) << ": " << s.create << " create, "
       << s.update << " update, " << s.start << " start, " << s.ok << " ok, " << s.duplicate
       << " duplicate, " << s.orphan << " orphan; " << s.destroy << " to destroy, " << s.kept
       << " kept";
  return line.str();
}

// A value as the plan shows it: a text as it is, "(none)" when absent.
std::string shown_value(const nlohmann::json* value) {
  if (value == nullptr) return "(none)";
  return escape_for_terminal(util::text_form(*value));
}

std::string shown_value(const std::optional<nlohmann::json>& value) {
  return shown_value(value ? &*value : nullptr);
}

// "ACTION METER_ID [MACHINE_ID REGION]", with "-" for a missing meter id.
std::string action_head(fleet::ActionKind kind, const std::string& meter_id,
                        const std::optional<std::string>& machine_id, const std::string& region) {
  std::string text = fleet::to_string(kind) + " " +
                     (meter_id.empty() ? std::string("-") : escape_for_terminal(meter_id));
  if (machine_id)
    text += " " + escape_for_terminal(*machine_id) + " " + escape_for_terminal(region);
  return text;
}

std::string plan_line(const fleet::Plan& plan, const fleet::Action& action) {
  const auto& m = action.machine;
  std::string line = action_head(action.kind, action.meter_id,
                                 m ? std::optional(m->id) : std::nullopt, m ? m->region : "");
  switch (action.kind) {
    case fleet::ActionKind::kCreate: {
      // Without an image and a command there is nothing to send yet.
      if (!action.body.is_object()) {
        return line + " (new mediator in " + escape_for_terminal(plan.region) + ")";
      }
      line += " (new mediator:";
      for (const auto& [name, value] : machine_config::create_fields(action.body)) {
        line += " " + name + " " + shown_value(value) + (name == "cert_auth" ? "" : ",");
      }
      return line + ")";
    }
    case fleet::ActionKind::kUpdate: {
      line += " (";
      for (std::size_t i = 0; i < action.changes.size(); ++i) {
        const auto& c = action.changes[i];
        line += (i > 0 ? ", " : "") + escape_for_terminal(c.path) + " " + shown_value(c.from) +
                " -> " + shown_value(c.to);
      }
      return line + ")";
    }
    case fleet::ActionKind::kStart:
      return line + " (" + escape_for_terminal(m->state) + ")";
    case fleet::ActionKind::kDuplicate:
    case fleet::ActionKind::kOrphan:
      if (!action.prune) return line + " (kept: no --prune)";
      line += " (destroy " + escape_for_terminal(m->name) + ", " + escape_for_terminal(m->state);
      if (action.primary_id) line += "; primary " + escape_for_terminal(*action.primary_id);
      return line + ")";
    case fleet::ActionKind::kOk:
      break;
  }
  return line;
}

ordered_json plan_json(const fleet::Plan& plan) {
  auto actions = ordered_json::array();
  for (const auto& action : plan.actions) {
    const auto& m = action.machine;
    ordered_json entry{{"action", fleet::to_string(action.kind)},
                       {"meter_id", meter_id_json(action.meter_id)},
                       {"machine_id", m ? ordered_json(m->id) : ordered_json(nullptr)},
                       {"region", m ? m->region : plan.region}};
    if (action.kind == fleet::ActionKind::kCreate && !action.body.is_object()) {
      entry["create"] = nullptr;
    } else if (action.kind == fleet::ActionKind::kCreate) {
      auto sent = ordered_json::object();
      for (const auto& [name, value] : machine_config::create_fields(action.body)) {
        sent[name] = value ? ordered_json(*value) : ordered_json(nullptr);
      }
      entry["create"] = std::move(sent);
    }
    if (action.kind == fleet::ActionKind::kUpdate) {
      auto changes = ordered_json::array();
      auto diff = ordered_json::object();
      const auto value = [](const std::optional<nlohmann::json>& v) {
        return v ? ordered_json(*v) : ordered_json(nullptr);
      };
      for (const auto& c : action.changes) {
        changes.push_back(c.path);
        diff[c.path] = {{"from", value(c.from)}, {"to", value(c.to)}};
      }
      entry["changes"] = std::move(changes);
      entry["diff"] = std::move(diff);
    }
    if (action.kind == fleet::ActionKind::kDuplicate || action.kind == fleet::ActionKind::kOrphan) {
      entry["prune"] = action.prune;
      entry["name"] = m->name;
      entry["state"] = m->state;
      if (action.primary_id) entry["primary_id"] = *action.primary_id;
    }
    actions.push_back(std::move(entry));
  }
  const fleet::Summary s = plan.summary();
  const ordered_json summary{
      {"create", s.create},       {"update", s.update}, {"start", s.start},     {"ok", s.ok},
      {"duplicate", s.duplicate}, {"orphan", s.orphan}, {"destroy", s.destroy}, {"kept", s.kept}};
  return {{"app", plan.app}, {"actions", std::move(actions)}, {"summary", summary}};
}

void write_plan(std::ostream& out, const fleet::Plan& plan, bool json) {
  if (json) {
    out << dump(plan_json(plan)) << '\n';
    return;
  }
  for (const auto& action : plan.actions) {
    if (action.kind != fleet::ActionKind::kOk) out << plan_line(plan, action) << '\n';
  }
  out << summary_line(plan) << '\n';
}

std::string result_line(const fleet::Result& r) {
  std::string line = action_head(r.action, r.meter_id, r.machine_id, r.region) + ": " +
                     fleet::to_string(r.outcome);
  if (r.outcome == fleet::Outcome::kKept) return line + " (" + escape_for_terminal(r.error) + ")";
  if (!r.error.empty()) line += ": " + escape_for_terminal(r.error);
  return line;
}

// "N changed, N in step, N failed", then skipped and kept only when there are any.
std::string report_summary(const std::string& app, const fleet::Report& report) {
  const fleet::ApplyCounts c = report.counts();
  std::ostringstream line;
  line << "applied to " << escape_for_terminal(app) << ": " << c.changed << " changed, "
       << c.in_step << " in step, " << c.failed << " failed";
  if (c.skipped > 0) line << ", " << c.skipped << " skipped";
  if (c.kept > 0) line << ", " << c.kept << " kept";
  line << (report.interrupted ? " (interrupted)" : "");
  return line.str();
}

ordered_json report_json(const fleet::Report& report) {
  auto results = ordered_json::array();
  for (const auto& r : report.results) {
    results.push_back({{"action", fleet::to_string(r.action)},
                       {"meter_id", meter_id_json(r.meter_id)},
                       {"machine_id", optional_text(r.machine_id)},
                       {"region", r.region},
                       {"outcome", fleet::to_string(r.outcome)},
                       {"error", r.error.empty() ? ordered_json(nullptr) : ordered_json(r.error)}});
  }
  const fleet::ApplyCounts c = report.counts();
  // "ok" (changed and in step together) stays for scripts written before the split.
  const ordered_json summary{{"changed", c.changed}, {"in_step", c.in_step},
                             {"failed", c.failed},   {"skipped", c.skipped},
                             {"kept", c.kept},       {"ok", c.changed + c.in_step}};
  return {{"results", std::move(results)}, {"summary", summary}};
}

// SIGINT and SIGTERM while apply runs: the first starts nothing new, the second also cancels
// the waits in flight. The first signal decides the exit status.
std::atomic<int> stop_level{0};
std::atomic<int> first_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_stop_signal(int signal) {
  int none = 0;
  first_signal.compare_exchange_strong(none, signal);
  if (stop_level.load() < 2) stop_level.fetch_add(1);
}

class StopSignals {
 public:
  StopSignals() {
    stop_level.store(0);
    first_signal.store(0);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previous_int_);
    sigaction(SIGTERM, &action, &previous_term_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &previous_int_, nullptr);
    sigaction(SIGTERM, &previous_term_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

// While apply runs, a reader that went away is a failed write, not the end of the process:
// the actions in flight still finish.
class IgnoredSigpipe {
 public:
  IgnoredSigpipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous_);
  }
  ~IgnoredSigpipe() { sigaction(SIGPIPE, &previous_, nullptr); }
  IgnoredSigpipe(const IgnoredSigpipe&) = delete;
  IgnoredSigpipe& operator=(const IgnoredSigpipe&) = delete;

 private:
  struct sigaction previous_ {};
};

// Output that cannot be written stops apply as the first Ctrl-C does: what is not reported
// is not started.
void stop_for_output() {
  int running = 0;
  stop_level.compare_exchange_strong(running, 1);
}

// Each finished action's line as it finishes (text mode), and progress on a terminal.
std::function<void(const fleet::Result&, const fleet::Progress&)> on_finished(const Io& io,
                                                                              bool json) {
  return [&io, json](const fleet::Result& r, const fleet::Progress& p) {
    if (io.err_is_terminal) io.err << '\r' << std::string(72, ' ') << '\r' << std::flush;
    // Meters already in step did nothing; the summary counts them.
    const bool quiet = r.action == fleet::ActionKind::kOk && r.outcome == fleet::Outcome::kOk;
    if (!json && !quiet) {
      io.out << result_line(r) << '\n' << std::flush;
      if (!io.out) stop_for_output();
    }
    if (!io.err_is_terminal) return;
    using std::chrono::duration;
    const double elapsed = duration<double>(p.elapsed).count();
    const double eta =
        p.done == 0 ? 0.0
                    : elapsed / static_cast<double>(p.done) * static_cast<double>(p.total - p.done);
    io.err << p.done << '/' << p.total << " done, " << p.failed << " failed, " << std::fixed
           << std::setprecision(1) << elapsed << " s elapsed, ETA " << eta << " s"
           << (p.done == p.total ? "\n" : "") << std::flush;
  };
}

void add_inventory_option(CLI::App& cmd, std::string& path) {
  cmd.add_option("--inventory", path,
                 "CSV of meters: meter_id, serial, ip_address[, port, cert_auth]; - reads "
                 "standard input");
}

// What `step` returns; a failed listing on the way is a CommandError naming the app.
template <typename Step>
auto listing_app(const vostrel::Machines& adapter, Step&& step) {
  try {
    return step();
  } catch (const vostrel::PlatformError& e) {
    throw CommandError("cannot list the machines of " + adapter.fly_app().value_or("") + ": " +
                       e.what());
  }
}

// The plan of an inventory against the app's mediators, or absent after the inventory's
// problems were printed.
std::optional<fleet::Plan> plan_of_inventory(vostrel::Machines& adapter, const std::string& path,
                                             fleet::PlanOptions options, const Io& io) {
  const auto inventory = load_inventory(path, io);
  if (!inventory) return std::nullopt;
  if (adapter.image().empty()) {
    io.err << "quelmar: without --image, the mediators' images are not compared\n";
  }
  options.inventory_sha256 = inventory->sha256;
  // A meter out of service today has no mediator: its own becomes an orphan.
  const auto today = util::local_date(io.clock());
  if (!today) throw CommandError("cannot tell today's date in local time");
  const std::vector<fleet::Meter> meters = fleet::in_service(inventory->meters, *today);
  return listing_app(adapter, [&] { return fleet::plan(adapter, meters, options); });
}

void add_prometheus_option(CLI::App& cmd, std::optional<std::string>& path) {
  cmd.add_option("--prometheus", path,
                 "Also write what is left to do as Prometheus metrics to this file (atomically, "
                 "mode 0644), also when the command fails");
}

// A saved plan; a file that is refused is one line naming it, before any request.
fleet::Plan load_plan(const std::string& path, const std::optional<std::string>& app) {
  try {
    return fleet::read_plan_file(path, app);
  } catch (const util::FileRefused& e) {
    throw CommandError(path + ": " + e.what());
  } catch (const fleet::PlanFileError& e) {
    throw CommandError(path + ": " + e.what());
  }
}

// A saved plan still holds against one listing, or each machine that moved on is named and
// nothing is shown, asked or sent.
void check_not_stale(vostrel::Machines& adapter, const fleet::Plan& plan, const Io& io) {
  const auto stale = listing_app(adapter, [&] { return fleet::stale_machines(adapter, plan); });
  if (stale.empty()) return;
  for (const auto& m : stale) {
    io.err << "quelmar: machine " << escape_for_terminal(m.machine_id) << " of meter "
           << (m.meter_id.empty() ? std::string("-") : escape_for_terminal(m.meter_id)) << ": "
           << escape_for_terminal(util::truncated(m.what, kMaxShownChange)) << '\n';
  }
  throw CommandRefused("the plan is stale (" + std::to_string(stale.size()) +
                       (stale.size() == 1 ? " machine" : " machines") +
                       " changed since it was made); make a new plan");
}

void add_plan(CLI::App& fly, const AdapterOptionsFn& adapter_options, const Io& io, int& status) {
  struct Options {
    std::string inventory;
    bool json = false;
    bool prune = false;
    std::optional<std::string> cmd;
    std::optional<std::string> out;
    std::optional<std::string> prometheus;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = fly.add_subcommand(
      "plan",
      "Compare the app's mediators (every region) with the meter inventory and print what\n"
      "apply would do. Exit 0: every meter in step (kept duplicates and orphans aside);\n"
      "1: something to do; 2: inventory, listing or plan file failed.");
  add_inventory_option(*cmd, options->inventory);
  cmd->get_option("--inventory")->required();
  cmd->add_option("--cmd", options->cmd,
                  "Command mediators run: compared with theirs (and needed in a plan file that "
                  "creates)");
  cmd->add_flag("--prune", options->prune, "Plan to destroy duplicate and orphan mediators");
  cmd->add_option("--out", options->out,
                  "Also write the plan to this file (JSON, mode 0600, every named machine's "
                  "config as listed) for apply --plan and show-plan");
  cmd->add_flag("--json", options->json, "Print one JSON object {app, actions, summary}");
  add_prometheus_option(*cmd, options->prometheus);
  cmd->callback([adapter_options, options, &io, &status] {
    FleetMetricsFile metrics(options->prometheus, "plan", io);
    vostrel::Machines adapter(vostrel::core_options(adapter_options()));
    metrics.app = *adapter.fly_app();
    const auto plan = plan_of_inventory(adapter, options->inventory,
                                        {.prune = options->prune, .cmd = options->cmd}, io);
    if (!plan) {
      status = kExitUsage;
      return;
    }
    if (options->out) {
      if (plan->summary().create > 0 && (adapter.image().empty() || !options->cmd)) {
        throw CommandError("a plan file that creates mediators needs --image and --cmd");
      }
      fleet::write_plan_file(*options->out, *plan);
    }
    write_plan(io.out, *plan, options->json);
    status = plan->in_step() ? 0 : kExitNotInStep;
    metrics.plan = &*plan;
    metrics.finish(true);
  });
}

void add_apply(CLI::App& fly, const AdapterOptionsFn& adapter_options, const Io& io, int& status) {
  struct Options {
    std::string inventory;
    std::string plan_file;
    bool prune = false;
    bool yes = false;
    int parallel = 4;
    std::size_t max_destroy = 10;
    bool json = false;
    std::optional<std::string> cmd;
    std::optional<std::string> prometheus;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = fly.add_subcommand(
      "apply",
      "Bring the app's mediators in step with the meter inventory (or carry out a plan file),\n"
      "after showing the plan and asking: create, start and update mediators; with --prune\n"
      "destroy duplicates and orphans. The first update is a canary; after the first failed\n"
      "update no other update starts. A plan file is refused whole, before anything is\n"
      "shown, when a machine it names moved on (exit 1). Ctrl-C or SIGTERM starts nothing\n"
      "new and reports (exit 130 or 143); a second one also cancels waits; output that cannot\n"
      "be written stops it likewise (exit 2), and a plan that cannot be shown is not sent.\n"
      "Exit 0: all done; 1: something failed or was skipped, or the plan file is stale;\n"
      "2: inventory, listing, plan file, output or --max-destroy refused.");
  add_inventory_option(*cmd, options->inventory);
  auto* plan_option = cmd->add_option(
      "--plan", options->plan_file,
      "Carry out this plan file (from plan --out) instead, after one listing finds every "
      "machine it names as it was; not with --image or --region");
  plan_option->excludes(cmd->get_option("--inventory"));
  cmd->add_option("--cmd", options->cmd, "Command that created mediators run (needed to create)")
      ->excludes(plan_option);
  cmd->add_flag("--prune", options->prune, "Destroy duplicate and orphan mediators")
      ->excludes(plan_option);
  cli_options::add_count_option(*cmd, "--max-destroy", options->max_destroy, {0, kMaxDestroyLimit},
                                "Refuse a plan that destroys more machines than this");
  cmd->add_flag("--yes", options->yes, "Skip the confirmation dialogue");
  cli_options::add_count_option(*cmd, "--parallel", options->parallel, {1, kMaxParallel},
                                "Actions in flight at once");
  cmd->add_flag("--json", options->json,
                "Print one JSON object {results, summary}; the dialogue goes to stderr");
  add_prometheus_option(*cmd, options->prometheus);
  cmd->callback([cmd, adapter_options, options, &io, &status] {
    FleetMetricsFile metrics(options->prometheus, "apply", io);
    if (options->inventory.empty() == options->plan_file.empty()) {
      throw CommandError("apply needs --inventory FILE or --plan PLANFILE");
    }
    const bool saved = !options->plan_file.empty();
    for (const char* decided : {"--image", "--region"}) {
      if (saved && cmd->get_parent()->get_option(decided)->count() > 0) {
        throw CommandError(std::string(decided) + " cannot be given with --plan: the plan decides");
      }
    }
    // Whether or not the plan will need it: the answer must not depend on the listing.
    if (!options->yes) io.state->claim_stdin(kConfirmationReader);
    if (options->inventory == kStdinPath) io.state->claim_stdin(kInventoryReader);
    const IgnoredSigpipe no_sigpipe;
    vostrel::Machines adapter(vostrel::core_options(adapter_options()));
    metrics.app = *adapter.fly_app();
    std::optional<fleet::Plan> plan;
    if (saved) {
      plan = load_plan(options->plan_file, *adapter.fly_app());
    } else {
      plan = plan_of_inventory(adapter, options->inventory,
                               {.prune = options->prune, .cmd = options->cmd}, io);
      if (!plan) {
        status = kExitUsage;
        return;
      }
      if (plan->summary().create > 0 && (adapter.image().empty() || !options->cmd)) {
        throw CommandError("creating mediators needs --image and --cmd");
      }
    }
    metrics.plan = &*plan;
    // Before the dialogue: a plan apply would refuse is not worth asking about.
    try {
      fleet::check_destroy_limit(*plan, options->max_destroy);
    } catch (const fleet::DestroyLimitExceeded& e) {
      throw CommandError("the plan destroys " + std::to_string(e.count()) +
                         " machines, more than --max-destroy " + std::to_string(e.limit()) +
                         " allows");
    }
    if (saved) check_not_stale(adapter, *plan, io);

    // Nothing is sent that was not shown: a plan that cannot be written stops here.
    std::ostream& dialogue = options->json ? io.err : io.out;
    write_plan(dialogue, *plan, false);
    const bool ask = !plan->in_step() && !options->yes;
    if (ask) dialogue << "Apply these changes (y/n): ";
    if (!dialogue.flush()) {
      status = kExitUsage;
      return;
    }
    if (ask) {
      std::string answer;
      if (!std::getline(io.in, answer)) {
        throw CommandError("no answer to the confirmation prompt (end of input)");
      }
      dialogue << '\n';  // a piped answer leaves the prompt's line open
      if (answer != "y") {
        dialogue << "aborting ...\n";
        status = kExitNotInStep;
        return;
      }
      if (!dialogue.flush()) {
        status = kExitUsage;
        return;
      }
    }

    fleet::Report report;
    {
      StopSignals signals;
      report = listing_app(adapter, [&] {
        return fleet::apply(adapter, *plan,
                            {.parallel = options->parallel,
                             .max_destroy = options->max_destroy,
                             .stop = &stop_level,
                             .finished = on_finished(io, options->json)});
      });
    }
    if (options->json) {
      io.out << dump(report_json(report)) << '\n';
    } else {
      io.out << report_summary(plan->app, report) << '\n';
    }
    if (report.interrupted) {
      // Stopped by a signal, or by output that could not be written.
      status = first_signal.load() != 0 ? 128 + first_signal.load() : kExitUsage;
    } else {
      const bool all_done =
          report.count(fleet::Outcome::kFailed) == 0 && report.count(fleet::Outcome::kSkipped) == 0;
      status = all_done ? 0 : kExitNotInStep;
    }
    metrics.report = &report;
    metrics.finish(status == 0);
  });
}

void add_show_plan(CLI::App& fly, const Io& io, int& status) {
  struct Options {
    std::string plan_file;
    bool json = false;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = fly.add_subcommand(
      "show-plan",
      "Print a plan file as plan prints it, offline (no token, no request). Exit 0: nothing\n"
      "to do; 1: something to do; 2: the file is refused.");
  cmd->add_option("PLANFILE", options->plan_file, "Plan file (from plan --out)")->required();
  cmd->add_flag("--json", options->json, "Print one JSON object {app, actions, summary}");
  cmd->callback([&fly, options, &io, &status] {
    std::optional<std::string> app;
    if (const auto* given = fly.get_option("--app"); given->count() > 0) {
      app = given->as<std::string>();
    }
    const fleet::Plan plan = load_plan(options->plan_file, app);
    write_plan(io.out, plan, options->json);
    status = plan.in_step() ? 0 : kExitNotInStep;
  });
}

void add_addresses(CLI::App& fly, const AdapterOptionsFn& adapter_options, const Io& io,
                   int& status) {
  auto json = std::make_shared<bool>(false);
  auto* cmd = fly.add_subcommand(
      "addresses",
      "Print every meter's mediator address (its primary: the first started, else the first\n"
      "listed, in any region), with one listing and one DNS look-up. Exit 1: no mediator\n"
      "serves a meter; 10/11: private/public look-up failed.");
  cmd->add_flag("--json", *json, "Print one JSON array of {meter_id, machine_id, address}");
  cmd->callback([adapter_options, json, &io, &status] {
    vostrel::Machines adapter(vostrel::core_options(adapter_options()));
    const auto found = listing_app(adapter, [&] { return fleet::addresses(adapter); });
    if (found.empty()) {
      throw CommandRefused("no mediator serves a meter in " + *adapter.fly_app());
    }
    if (*json) {
      auto array = ordered_json::array();
      for (const auto& m : found) {
        array.push_back(
            {{"meter_id", m.meter_id}, {"machine_id", m.machine_id}, {"address", m.address}});
      }
      io.out << dump(array) << '\n';
    } else {
      for (const auto& m : found) {
        io.out << escape_for_terminal(m.meter_id) << ' ' << escape_for_terminal(m.address) << '\n';
      }
    }
    status = 0;
  });
}

}  // namespace

void add_fleet_commands(CLI::App& fly, AdapterOptionsFn adapter_options, const Io& io,
                        int& status) {
  add_plan(fly, adapter_options, io, status);
  add_apply(fly, adapter_options, io, status);
  add_addresses(fly, adapter_options, io, status);
  add_show_plan(fly, io, status);
}

}  // namespace quelmar::cli
