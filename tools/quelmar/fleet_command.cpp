// quelmar fly plan|apply|show-plan|addresses

#include "fleet_command.hpp"

#include <memory>
#include <string>

#include "commands.hpp"
#include "count_option.hpp"
#include "quelmar/orchestrate/adapter/machines.hpp"
#include "quelmar/orchestrate/fleet/address_report.hpp"
#include "quelmar/orchestrate/fleet/addresses.hpp"
#include "quelmar/orchestrate/fleet/apply.hpp"
#include "quelmar/orchestrate/fleet/apply_report.hpp"
#include "quelmar/orchestrate/fleet/apply_signals.hpp"
#include "quelmar/orchestrate/fleet/create_check.hpp"
#include "quelmar/orchestrate/fleet/inventory_report.hpp"
#include "quelmar/orchestrate/fleet/metrics_file.hpp"
#include "quelmar/orchestrate/fleet/plan.hpp"
#include "quelmar/orchestrate/fleet/plan_file.hpp"
#include "quelmar/orchestrate/fleet/plan_report.hpp"
#include "quelmar/orchestrate/fleet/stale_report.hpp"
#include "quelmar/util/calendar.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/file_reading.hpp"
#include "run_state.hpp"

namespace quelmar::cli {
namespace {

namespace fleet = orchestrate::fleet;
namespace vostrel = orchestrate::adapter::vostrel;

constexpr int kExitNotInStep = 1;
constexpr std::size_t kMaxDestroyLimit = 1'000'000;
constexpr const char* kStdinName = "(standard input)";

}  // namespace

// "-" reads standard input.
std::optional<fleet::Inventory> load_inventory(const std::string& path, const Io& io,
                                               fleet::InventoryUse use) {
  const bool from_stdin = path == kStdinPath;
  if (from_stdin) io.state->claim_stdin(kInventoryReader);
  fleet::Inventory inventory =
      from_stdin ? fleet::read_inventory(io.in, kStdinName, use) : fleet::read_inventory(path, use);
  if (inventory.problems.empty()) return inventory;
  for (const auto& line :
       fleet::inventory_problem_lines(inventory, from_stdin ? kStdinName : path)) {
    io.err << "quelmar: " << line << '\n';
  }
  return std::nullopt;
}

namespace {

// Each finished action's line as it finishes (text mode), and progress on a terminal.
std::function<void(const fleet::Result&, const fleet::Progress&)> on_finished(const Io& io,
                                                                              bool json) {
  return [&io, json](const fleet::Result& r, const fleet::Progress& p) {
    if (io.err_is_terminal) io.err << '\r' << std::string(72, ' ') << '\r' << std::flush;
    // Meters already in step did nothing; the summary counts them.
    if (!json && fleet::class_of(r) != fleet::ResultClass::kInStep) {
      io.out << fleet::result_line(r) << '\n' << std::flush;
      // What is not reported is not started.
      if (!io.out) fleet::StopSignals::stop_without_signal();
    }
    if (!io.err_is_terminal) return;
    io.err << fleet::progress_line(p) << (p.done == p.total ? "\n" : "") << std::flush;
  };
}

// Written however the command ends; a file that cannot be written after a failure is said
// beside the failure.
fleet::metrics::MetricsFile metrics_file(const std::optional<std::string>& path,
                                         const char* command, const Io& io) {
  return {path, command, io.clock, [&io](const std::string& message) {
            io.err << "quelmar: " << util::escape_for_terminal(message) << '\n';
          }};
}

void add_inventory_option(CLI::App& cmd, std::string& path) {
  cmd.add_option("--inventory", path,
                 "CSV of meters: meter_id, serial, ip_address[, port, cert_auth]; - reads "
                 "standard input");
}

void add_prometheus_option(CLI::App& cmd, std::optional<std::string>& path) {
  cmd.add_option("--prometheus", path,
                 "Also write what is left to do as Prometheus metrics to this file (atomically, "
                 "mode 0644), also when the command fails");
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

// The library says whether the plan can create; the command line says which flags it lacks.
void require_creates_ready(const fleet::Plan& plan, const char* message) {
  try {
    fleet::check_creates_ready(plan);
  } catch (const fleet::CreateNotReady&) {
    throw CommandError(message);
  }
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
  for (const auto& m : stale) io.err << "quelmar: " << fleet::stale_line(m) << '\n';
  throw CommandRefused(fleet::stale_summary(stale.size()));
}

struct PlanArgs {
  std::string inventory;
  bool json = false;
  bool prune = false;
  std::optional<std::string> cmd;
  std::optional<std::string> out;
  std::optional<std::string> prometheus;
};

void run_plan(const AdapterOptionsFn& adapter_options, const PlanArgs& args, const Io& io,
              int& status) {
  auto metrics = metrics_file(args.prometheus, "plan", io);
  vostrel::Machines adapter(adapter_options());
  metrics.app = *adapter.fly_app();
  const auto plan =
      plan_of_inventory(adapter, args.inventory, {.prune = args.prune, .cmd = args.cmd}, io);
  if (!plan) {
    status = kExitUsage;
    return;
  }
  if (args.out) {
    require_creates_ready(*plan, "a plan file that creates mediators needs --image and --cmd");
    fleet::write_plan_file(*args.out, *plan);
  }
  fleet::write_plan_report(io.out, *plan, format_of(args.json));
  status = plan->in_step() ? 0 : kExitNotInStep;
  metrics.plan = &*plan;
  metrics.finish(true);
}

void add_plan(CLI::App& fly, const AdapterOptionsFn& adapter_options, const Io& io, int& status) {
  auto args = std::make_shared<PlanArgs>();
  auto* cmd = fly.add_subcommand(
      "plan",
      "Compare the app's mediators (every region) with the meter inventory and print what\n"
      "apply would do. Exit 0: every meter in step (kept duplicates and orphans aside);\n"
      "1: something to do; 2: inventory, listing or plan file failed.");
  add_inventory_option(*cmd, args->inventory);
  cmd->get_option("--inventory")->required();
  cmd->add_option("--cmd", args->cmd,
                  "Command mediators run: compared with theirs (and needed in a plan file that "
                  "creates)");
  cmd->add_flag("--prune", args->prune, "Plan to destroy duplicate and orphan mediators");
  cmd->add_option("--out", args->out,
                  "Also write the plan to this file (JSON, mode 0600, every named machine's "
                  "config as listed) for apply --plan and show-plan");
  cmd->add_flag("--json", args->json, "Print one JSON object {app, actions, summary}");
  add_prometheus_option(*cmd, args->prometheus);
  cmd->callback(
      [adapter_options, args, &io, &status] { run_plan(adapter_options, *args, io, status); });
}

struct ApplyArgs {
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

void check_apply_args(const CLI::App& cmd, const ApplyArgs& args) {
  if (args.inventory.empty() == args.plan_file.empty()) {
    throw CommandError("apply needs --inventory FILE or --plan PLANFILE");
  }
  for (const char* decided : {"--image", "--region"}) {
    if (!args.plan_file.empty() && cmd.get_parent()->get_option(decided)->count() > 0) {
      throw CommandError(std::string(decided) + " cannot be given with --plan: the plan decides");
    }
  }
}

// The saved plan, or one made from the inventory; absent after the inventory's problems were
// printed.
std::optional<fleet::Plan> plan_to_apply(vostrel::Machines& adapter, const ApplyArgs& args,
                                         const Io& io) {
  if (!args.plan_file.empty()) return load_plan(args.plan_file, *adapter.fly_app());
  auto plan =
      plan_of_inventory(adapter, args.inventory, {.prune = args.prune, .cmd = args.cmd}, io);
  if (plan) require_creates_ready(*plan, "creating mediators needs --image and --cmd");
  return plan;
}

void check_max_destroy(const fleet::Plan& plan, std::size_t max_destroy) {
  try {
    fleet::check_destroy_limit(plan, max_destroy);
  } catch (const fleet::DestroyLimitExceeded& e) {
    throw CommandError("the plan destroys " + std::to_string(e.count()) +
                       " machines, more than --max-destroy " + std::to_string(e.limit()) +
                       " allows");
  }
}

// Shows the plan and, unless told yes or there is nothing to do, asks. The exit status to end
// with when apply must not go on. Nothing is sent that was not shown: a plan that cannot be
// written stops here.
std::optional<int> not_confirmed(const fleet::Plan& plan, const ApplyArgs& args, const Io& io) {
  std::ostream& dialogue = args.json ? io.err : io.out;
  fleet::write_plan_report(dialogue, plan, fleet::ReportFormat::kText);
  const bool ask = !plan.in_step() && !args.yes;
  if (ask) dialogue << "Apply these changes (y/n): ";
  if (!dialogue.flush()) return kExitUsage;
  if (!ask) return std::nullopt;
  std::string answer;
  if (!std::getline(io.in, answer)) {
    throw CommandError("no answer to the confirmation prompt (end of input)");
  }
  dialogue << '\n';  // a piped answer leaves the prompt's line open
  if (answer != "y") {
    dialogue << "aborting ...\n";
    return kExitNotInStep;
  }
  if (!dialogue.flush()) return kExitUsage;
  return std::nullopt;
}

fleet::Report carry_out(vostrel::Machines& adapter, const fleet::Plan& plan, const ApplyArgs& args,
                        const Io& io) {
  fleet::StopSignals signals;
  return listing_app(adapter, [&] {
    return fleet::apply(adapter, plan,
                        {.parallel = args.parallel,
                         .max_destroy = args.max_destroy,
                         .stop = fleet::StopSignals::level(),
                         .finished = on_finished(io, args.json)});
  });
}

int apply_status(const fleet::Report& report) {
  // Stopped by a signal, or by output that could not be written.
  const int by_signal = fleet::StopSignals::first_signal();
  if (report.interrupted) return by_signal != 0 ? 128 + by_signal : kExitUsage;
  const fleet::ApplyCounts c = report.counts();
  return c.failed == 0 && c.skipped == 0 ? 0 : kExitNotInStep;
}

void run_apply(const CLI::App& cmd, const AdapterOptionsFn& adapter_options, const ApplyArgs& args,
               const Io& io, int& status) {
  // Declared before the metrics, which read the plan and the report when they are written on
  // the way out of an error.
  std::optional<fleet::Plan> plan;
  std::optional<fleet::Report> report;
  auto metrics = metrics_file(args.prometheus, "apply", io);
  check_apply_args(cmd, args);
  // Whether or not the plan will need it: the answer must not depend on the listing.
  if (!args.yes) io.state->claim_stdin(kConfirmationReader);
  if (args.inventory == kStdinPath) io.state->claim_stdin(kInventoryReader);
  const fleet::IgnoredSigpipe no_sigpipe;
  vostrel::Machines adapter(adapter_options());
  metrics.app = *adapter.fly_app();
  plan = plan_to_apply(adapter, args, io);
  if (!plan) {
    status = kExitUsage;
    return;
  }
  metrics.plan = &*plan;
  // Before the dialogue: a plan apply would refuse is not worth asking about.
  check_max_destroy(*plan, args.max_destroy);
  if (!args.plan_file.empty()) check_not_stale(adapter, *plan, io);
  if (const auto stop = not_confirmed(*plan, args, io)) {
    status = *stop;
    return;
  }
  report = carry_out(adapter, *plan, args, io);
  fleet::write_apply_report(io.out, plan->app, *report, format_of(args.json));
  status = apply_status(*report);
  metrics.report = &*report;
  metrics.finish(status == 0);
}

void add_apply(CLI::App& fly, const AdapterOptionsFn& adapter_options, const Io& io, int& status) {
  auto args = std::make_shared<ApplyArgs>();
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
  add_inventory_option(*cmd, args->inventory);
  auto* plan_option = cmd->add_option(
      "--plan", args->plan_file,
      "Carry out this plan file (from plan --out) instead, after one listing finds every "
      "machine it names as it was; not with --image or --region");
  plan_option->excludes(cmd->get_option("--inventory"));
  cmd->add_option("--cmd", args->cmd, "Command that created mediators run (needed to create)")
      ->excludes(plan_option);
  cmd->add_flag("--prune", args->prune, "Destroy duplicate and orphan mediators")
      ->excludes(plan_option);
  cli_options::add_count_option(*cmd, "--max-destroy", args->max_destroy, {0, kMaxDestroyLimit},
                                "Refuse a plan that destroys more machines than this");
  cmd->add_flag("--yes", args->yes, "Skip the confirmation dialogue");
  cli_options::add_count_option(*cmd, "--parallel", args->parallel, {1, fleet::MAX_PARALLEL},
                                "Actions in flight at once");
  cmd->add_flag("--json", args->json,
                "Print one JSON object {results, summary}; the dialogue goes to stderr");
  add_prometheus_option(*cmd, args->prometheus);
  cmd->callback([cmd, adapter_options, args, &io, &status] {
    run_apply(*cmd, adapter_options, *args, io, status);
  });
}

void add_show_plan(CLI::App& fly, const Io& io, int& status) {
  struct Args {
    std::string plan_file;
    bool json = false;
  };
  auto args = std::make_shared<Args>();
  auto* cmd = fly.add_subcommand(
      "show-plan",
      "Print a plan file as plan prints it, offline (no token, no request). Exit 0: nothing\n"
      "to do; 1: something to do; 2: the file is refused.");
  cmd->add_option("PLANFILE", args->plan_file, "Plan file (from plan --out)")->required();
  cmd->add_flag("--json", args->json, "Print one JSON object {app, actions, summary}");
  cmd->callback([&fly, args, &io, &status] {
    std::optional<std::string> app;
    if (const auto* given = fly.get_option("--app"); given->count() > 0) {
      app = given->as<std::string>();
    }
    const fleet::Plan plan = load_plan(args->plan_file, app);
    fleet::write_plan_report(io.out, plan, format_of(args->json));
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
    vostrel::Machines adapter(adapter_options());
    const auto found = listing_app(adapter, [&] { return fleet::addresses(adapter); });
    if (found.empty()) {
      throw CommandRefused("no mediator serves a meter in " + *adapter.fly_app());
    }
    fleet::write_addresses(io.out, found, format_of(*json));
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
