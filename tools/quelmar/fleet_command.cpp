// quelmar fly plan|apply|addresses

#include "fleet_command.hpp"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "commands.hpp"
#include "quelmar/orchestrate/fleet.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::cli {
namespace {

namespace fleet = orchestrate::fleet;
namespace vostrel = orchestrate::adapter::vostrel;
using nlohmann::ordered_json;
using util::escape_for_terminal;

constexpr int kExitNotInStep = 1;
constexpr int kExitInterrupted = 130;
constexpr int kMaxParallel = 64;

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

// The inventory's meters, or absent after its problems were printed: the first ones by line,
// then how many more there are.
std::optional<std::vector<fleet::Meter>> load_inventory(const std::string& path, const Io& io) {
  fleet::Inventory inventory = fleet::read_inventory(path);
  if (inventory.problems.empty()) return std::move(inventory.meters);
  const std::string file = escape_for_terminal(path);
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

std::string summary_line(const fleet::Plan& plan) {
  const fleet::Summary s = plan.summary();
  std::ostringstream line;
  line << "plan for " << escape_for_terminal(plan.app) << ": " << s.create << " create, "
       << s.update << " update, " << s.start << " start, " << s.ok << " ok, " << s.duplicate
       << " duplicate, " << s.orphan << " orphan";
  return line.str();
}

// "ACTION METER_ID MACHINE_ID", with "-" for what is missing.
std::string action_text(fleet::ActionKind kind, const std::string& meter_id,
                        const std::optional<std::string>& machine_id) {
  std::string text = fleet::to_string(kind) + " " +
                     (meter_id.empty() ? std::string("-") : escape_for_terminal(meter_id));
  if (machine_id) text += " " + escape_for_terminal(*machine_id);
  return text;
}

void write_plan(std::ostream& out, const fleet::Plan& plan, bool json) {
  if (json) {
    auto actions = ordered_json::array();
    for (const auto& action : plan.actions) {
      ordered_json entry{{"action", fleet::to_string(action.kind)},
                         {"meter_id", meter_id_json(action.meter_id)},
                         {"machine_id", optional_text(action.machine_id)}};
      if (action.kind == fleet::ActionKind::kUpdate) entry["changes"] = action.changes;
      actions.push_back(std::move(entry));
    }
    const fleet::Summary s = plan.summary();
    const ordered_json summary{{"create", s.create},       {"update", s.update},
                               {"start", s.start},         {"ok", s.ok},
                               {"duplicate", s.duplicate}, {"orphan", s.orphan}};
    out << dump({{"app", plan.app}, {"actions", actions}, {"summary", summary}}) << '\n';
    return;
  }
  for (const auto& action : plan.actions) {
    if (action.kind == fleet::ActionKind::kOk) continue;
    out << action_text(action.kind, action.meter_id, action.machine_id);
    if (!action.changes.empty()) {
      out << " (";
      for (std::size_t i = 0; i < action.changes.size(); ++i) {
        out << (i > 0 ? ", " : "") << action.changes[i];
      }
      out << ')';
    }
    out << '\n';
  }
  out << summary_line(plan) << '\n';
}

void write_report(std::ostream& out, const fleet::Plan& plan, const fleet::Report& report,
                  bool json) {
  if (json) {
    auto results = ordered_json::array();
    for (const auto& r : report.results) {
      results.push_back(
          {{"action", fleet::to_string(r.action)},
           {"meter_id", meter_id_json(r.meter_id)},
           {"machine_id", optional_text(r.machine_id)},
           {"outcome", fleet::to_string(r.outcome)},
           {"error", r.error.empty() ? ordered_json(nullptr) : ordered_json(r.error)}});
    }
    const ordered_json summary{{"ok", report.count(fleet::Outcome::kOk)},
                               {"failed", report.count(fleet::Outcome::kFailed)},
                               {"skipped", report.count(fleet::Outcome::kSkipped)}};
    out << dump({{"results", results}, {"summary", summary}}) << '\n';
    return;
  }
  for (const auto& r : report.results) {
    // Meters already in step did nothing; the summary counts them.
    if (r.action == fleet::ActionKind::kOk && r.outcome == fleet::Outcome::kOk) continue;
    out << action_text(r.action, r.meter_id, r.machine_id) << ": " << fleet::to_string(r.outcome);
    if (!r.error.empty()) out << ": " << escape_for_terminal(r.error);
    out << '\n';
  }
  out << "applied to " << escape_for_terminal(plan.app) << ": " << report.count(fleet::Outcome::kOk)
      << " ok, " << report.count(fleet::Outcome::kFailed) << " failed, "
      << report.count(fleet::Outcome::kSkipped) << " skipped"
      << (report.interrupted ? " (interrupted)" : "") << '\n';
}

// Whether applying the plan sends anything beyond the listing.
bool has_work(const fleet::Plan& plan, bool prune) {
  for (const auto& action : plan.actions) {
    switch (action.kind) {
      case fleet::ActionKind::kCreate:
      case fleet::ActionKind::kUpdate:
      case fleet::ActionKind::kStart:
        return true;
      case fleet::ActionKind::kDuplicate:
      case fleet::ActionKind::kOrphan:
        if (prune) return true;
        break;
      case fleet::ActionKind::kOk:
        break;
    }
  }
  return false;
}

// SIGINT sets the flag while apply runs, so that it can stop starting actions and report.
std::atomic<bool> interrupt_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_interrupt(int /*signal*/) { interrupt_requested.store(true); }

class InterruptScope {
 public:
  InterruptScope() {
    interrupt_requested.store(false);
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptScope() { sigaction(SIGINT, &previous_, nullptr); }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  struct sigaction previous_ {};
};

// Progress on the terminal only: never mixed into a log or a pipe.
std::function<void(const fleet::Progress&)> terminal_progress(const Io& io) {
  if (&io.err != &std::cerr || isatty(STDERR_FILENO) != 1) return {};
  return [&io](const fleet::Progress& p) {
    using std::chrono::duration;
    const double elapsed = duration<double>(p.elapsed).count();
    const double eta =
        p.done == 0 ? 0.0
                    : elapsed / static_cast<double>(p.done) * static_cast<double>(p.total - p.done);
    io.err << "\r" << p.done << '/' << p.total << " done, " << p.failed << " failed, " << std::fixed
           << std::setprecision(1) << elapsed << " s elapsed, ETA " << eta << " s   "
           << (p.done == p.total ? "\n" : "") << std::flush;
  };
}

void add_inventory_option(CLI::App& cmd, std::string& path) {
  cmd.add_option("--inventory", path,
                 "CSV of meters: meter_id, serial, ip_address[, port, cert_auth]")
      ->required();
}

void add_plan(CLI::App& fly, const AdapterOptionsFn& adapter_options, const Io& io, int& status) {
  struct Options {
    std::string inventory;
    bool json = false;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = fly.add_subcommand(
      "plan",
      "Compare the app's mediators with the meter inventory and print what apply would do.\n"
      "Exit 0: every meter in step; 1: something to do; 2: inventory or listing failed.");
  add_inventory_option(*cmd, options->inventory);
  cmd->add_flag("--json", options->json, "Print one JSON object {app, actions, summary}");
  cmd->callback([adapter_options, options, &io, &status] {
    const auto meters = load_inventory(options->inventory, io);
    if (!meters) {
      status = kExitUsage;
      return;
    }
    vostrel::FlyAdapter adapter(adapter_options());
    const fleet::Plan plan = fleet::plan(adapter, *meters);
    write_plan(io.out, plan, options->json);
    status = plan.in_step() ? 0 : kExitNotInStep;
  });
}

void add_apply(CLI::App& fly, const AdapterOptionsFn& adapter_options, const Io& io, int& status) {
  struct Options {
    std::string inventory;
    bool prune = false;
    bool yes = false;
    int parallel = 4;
    bool json = false;
    std::optional<std::string> cmd;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = fly.add_subcommand(
      "apply",
      "Bring the app's mediators in step with the meter inventory, after confirmation:\n"
      "create, start and update mediators; with --prune destroy duplicates and orphans.\n"
      "After the first failed update no other update starts. Ctrl-C starts nothing new,\n"
      "reports, and exits 130. Exit 0: all done; 1: something failed or was skipped.");
  add_inventory_option(*cmd, options->inventory);
  cmd->add_option("--cmd", options->cmd, "Command that created mediators run (needed to create)");
  cmd->add_flag("--prune", options->prune, "Destroy duplicate and orphan mediators");
  cmd->add_flag("--yes", options->yes, "Skip the confirmation dialogue");
  cmd->add_option("--parallel", options->parallel, "Actions in flight at once")
      ->capture_default_str()
      ->check(CLI::Range(1, kMaxParallel));
  cmd->add_flag("--json", options->json,
                "Print one JSON object {results, summary}; the dialogue goes to stderr");
  cmd->callback([adapter_options, options, &io, &status] {
    const auto meters = load_inventory(options->inventory, io);
    if (!meters) {
      status = kExitUsage;
      return;
    }
    vostrel::FlyAdapterOptions settings = adapter_options();
    fleet::ApplyOptions apply_options{.api_token = settings.api_token,
                                      .client = settings.client,
                                      .cmd = options->cmd,
                                      .parallel = options->parallel,
                                      .prune = options->prune};
    vostrel::FlyAdapter adapter(std::move(settings));
    const fleet::Plan plan = fleet::plan(adapter, *meters);
    if (plan.summary().create > 0 && (adapter.image().empty() || !options->cmd)) {
      throw CommandError("creating mediators needs --image and --cmd");
    }

    std::ostream& dialogue = options->json ? io.err : io.out;
    dialogue << summary_line(plan) << '\n';
    if (has_work(plan, options->prune) && !options->yes) {
      dialogue << "Apply these changes (y/n): " << std::flush;
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
    }

    fleet::Report report;
    {
      InterruptScope interrupt;
      apply_options.interrupted = &interrupt_requested;
      apply_options.progress = terminal_progress(io);
      report = fleet::apply(adapter, plan, apply_options);
    }
    write_report(io.out, plan, report, options->json);
    if (report.interrupted) {
      status = kExitInterrupted;
    } else {
      const bool all_done =
          report.count(fleet::Outcome::kFailed) == 0 && report.count(fleet::Outcome::kSkipped) == 0;
      status = all_done ? 0 : kExitNotInStep;
    }
  });
}

void add_addresses(CLI::App& fly, const AdapterOptionsFn& adapter_options, const Io& io,
                   int& status) {
  auto json = std::make_shared<bool>(false);
  auto* cmd = fly.add_subcommand(
      "addresses",
      "Print every meter's mediator address (as address would), with one listing and one\n"
      "DNS look-up. Exit 1: no mediator serves a meter; 10/11: private/public look-up failed.");
  cmd->add_flag("--json", *json, "Print one JSON array of {meter_id, machine_id, address}");
  cmd->callback([adapter_options, json, &io, &status] {
    vostrel::FlyAdapter adapter(adapter_options());
    const auto found = fleet::addresses(adapter);
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
    if (found.empty()) {
      io.err << "quelmar: no mediator serves a meter in " << escape_for_terminal(*adapter.fly_app())
             << '\n';
      status = kExitNotInStep;
      return;
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
}

}  // namespace quelmar::cli
