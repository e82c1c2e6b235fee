// quelmar fly [adapter options] list|create|start|stop|destroy|address ...

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "commands.hpp"
#include "count_option.hpp"
#include "fleet_command.hpp"
#include "quelmar/orchestrate/adapter/machine_state.hpp"
#include "quelmar/orchestrate/adapter/vostrel.hpp"
#include "quelmar/orchestrate/fleet/addresses.hpp"
#include "quelmar/orchestrate/fleet/apply.hpp"
#include "quelmar/orchestrate/fleet/listing.hpp"
#include "quelmar/orchestrate/fleet/machine_list_report.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/ip_address.hpp"
#include "run_state.hpp"
#include "token_source.hpp"

namespace quelmar::cli {
namespace {

namespace vostrel = orchestrate::adapter::vostrel;
namespace container = orchestrate::adapter::container;
namespace machine_state = orchestrate::adapter::machine_state;
namespace fleet = orchestrate::fleet;

using util::escape_for_terminal;

// The platform's own command line takes the app from there too.
constexpr const char* kAppVariable = "FLY_APP";
// --token - reads the token from standard input.
constexpr const char* kStdinToken = "-";
constexpr cli_options::CountRange kPortRange{1, 65535};

struct AdapterOptions {
  std::optional<std::string> app;
  std::optional<std::string> token;
  std::optional<std::string> token_file;
  std::optional<std::string> api_url;
  std::optional<std::string> ca_file;
  std::optional<std::string> region;
  std::optional<std::string> image;
  std::string dns_server = "fdaa::3";
  std::optional<std::string> public_resolver;
  bool single_meter = false;
  std::optional<std::string> serial;
  bool use_private = false;
  bool use_public = false;
  // The token once read: a file or standard input is read once per run.
  std::optional<std::string> read_token;
};

// Flag > environment. A token read from a file or standard input is hidden from then on.
std::optional<std::string> api_token(AdapterOptions& options, const Io& io) {
  if (options.read_token) return options.read_token;
  if (options.token_file) {
    options.read_token = read_token_file(*options.token_file);
  } else if (options.token == kStdinToken) {
    io.state->claim_stdin("--token -");
    options.read_token = read_token_line(io.in);
  } else {
    return options.token ? options.token : io.getenv(kTokenVariable);
  }
  io.state->keep_secret(*options.read_token);
  return options.read_token;
}

// Flag > environment > default, resolved once here; the library reads no environment.
vostrel::MachinesOptions adapter_options(AdapterOptions& options, const Io& io) {
  std::optional<std::string> app = options.app;
  if (!app) app = io.getenv(kAppVariable);
  if (!app || app->empty()) {
    throw CommandError(std::string("no app: pass --app or set ") + kAppVariable);
  }
  const std::optional<std::string> token = api_token(options, io);
  if (!token || token->empty()) {
    throw CommandError(std::string("no API token: set ") + kTokenVariable +
                       " or pass --token-file FILE or --token -");
  }
  std::optional<bool> use_private_address;
  if (options.use_private) use_private_address = true;
  if (options.use_public) use_private_address = false;
  vostrel::ClientOptions client;
  if (options.api_url) client.base_url = *options.api_url;
  client.ca_file = options.ca_file;
  return vostrel::MachinesOptions{
      .api_token = *token,
      .dns_server = options.dns_server,
      .image = options.image.value_or(""),
      .is_single_meter_app = options.single_meter,
      .app_name = *app,
      .serial = options.serial,
      .use_private_address = use_private_address,
      .region = options.region,
      .client = client,
      .public_resolver = options.public_resolver,
  };
}

// The adapter's core: it never prompts, prints or ends the process for the command.
vostrel::Machines make_core(AdapterOptions& options, const Io& io) {
  return vostrel::Machines(adapter_options(options, io));
}

// Exit 0 when the platform did it; a refusal is exit 1, no usable answer exit 2.
void settle(const vostrel::Answer& answer, const std::string& verb, const std::string& id,
            const std::string& app) {
  if (answer.done()) return;
  if (answer.refused() && answer.status == 404) {
    throw CommandRefused("no machine " + id + " in app " + app);
  }
  if (answer.refused()) {
    throw CommandRefused("the platform refused to " + verb + " " + id + ": " + answer.reason());
  }
  throw CommandError("cannot " + verb + " " + id + ": " + answer.reason());
}

std::string check_ip_address(const std::string& text) {
  return util::is_ip_address(text) ? std::string() : "not an IPv4 or IPv6 address: " + text;
}

void add_list(CLI::App& fly, const std::shared_ptr<AdapterOptions>& adapter, const Io& io,
              int& status) {
  struct Options {
    std::optional<std::string> meter_id;
    std::optional<std::string> state;
    bool json = false;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = fly.add_subcommand(
      "list", "List the application's mediator machines in every region (--region: in that one)");
  cmd->add_option("--meter-id", options->meter_id, "Only the machine(s) of this meter");
  cmd->add_option("--state", options->state, "Only machines in this state")
      ->check(CLI::IsMember(fleet::filterable_states()));
  cmd->add_flag("--json", options->json,
                "Print one JSON array of {id, name, region, image, port, status, metadata}");
  cmd->callback([adapter, options, &io, &status] {
    auto core = make_core(*adapter, io);
    // Every region unless one was asked for: the adapter's default region is where creates go.
    fleet::ListFilter filter{.region = adapter->region.value_or(""), .meter_id = options->meter_id};
    if (options->state) filter.state = container::parse_container_state(*options->state);
    std::vector<fleet::ListedMachine> listed;
    try {
      listed = fleet::list_machines(core, filter);
    } catch (const vostrel::PlatformError& e) {
      throw CommandError(std::string("cannot list the machines: ") + e.what());
    }
    fleet::write_machine_list(io.out, listed, format_of(options->json));
    status = 0;
  });
}

void add_create(CLI::App& fly, const std::shared_ptr<AdapterOptions>& adapter, const Io& io,
                int& status) {
  struct Options {
    vostrel::CreateRequest request;  // its serial is settled when the command runs
    std::optional<std::string> serial;
  };
  auto options = std::make_shared<Options>();
  auto& fields = options->request;
  auto* cmd = fly.add_subcommand(
      "create",
      "Create a meter's mediator machine (named mediator-SERIAL) after confirmation.\n"
      "Prints the new machine id last, on a line of its own; exit 1 when refused or the\n"
      "platform fails.");
  cmd->add_option("--cmd", fields.cmd, "Command the machine runs")->required();
  cmd->add_option("--meter-id", fields.meter_id, "The meter's id")->required();
  cmd->add_option("--serial", options->serial, "The meter's serial (default: fly --serial)");
  cmd->add_option("--ip-address", fields.ip_address, "The meter's IP address (IPv4 or IPv6)")
      ->required()
      ->check(CLI::Validator(check_ip_address, "IP"));
  cli_options::add_count_option(*cmd, "--port", fields.port, kPortRange,
                                "Service port of the mediator")
      ->required();
  cli_options::add_count_option(*cmd, "--internal-port", fields.additional_internal_port,
                                kPortRange, "An additional internal port");
  cmd->add_flag("--yes", fields.skip_confirm, "Skip the confirmation dialogue");
  cmd->add_flag("--cert-auth", fields.use_cert_auth,
                "The mediator authenticates with certificates");
  cmd->callback([adapter, options, &io, &status] {
    if (!adapter->image) throw CommandError("create needs --image");
    // A serial given after the command names the meter for the adapter too.
    if (!adapter->serial) adapter->serial = options->serial;
    const auto serial = options->serial ? options->serial : adapter->serial;
    if (!serial) throw CommandError("create needs --serial");
    vostrel::CreateRequest request = options->request;
    request.serial = *serial;
    const bool ask = !request.skip_confirm;
    if (ask) io.state->claim_stdin(kConfirmationReader);
    auto core = make_core(*adapter, io);
    // A refusal at the prompt has been said on stdout, a failed create in the log.
    status = kExitRefused;
    if (ask && !vostrel::confirm_create(core, request, io.in, io.out)) return;
    const std::optional<std::string> id = vostrel::create_mediator(core, request);
    if (!id) return;
    // A piped answer leaves the prompt line open: the id goes on a line of its own.
    if (ask) io.out << '\n';
    io.out << escape_for_terminal(*id) << '\n';
    status = 0;
  });
}

// start and stop: one machine id; exit 1 when the platform refuses, 2 without an answer.
// With --wait, also exit 1 when the machine does not reach `state` within the wait.
void add_state_change(CLI::App& fly, const std::shared_ptr<AdapterOptions>& adapter,
                      const std::shared_ptr<std::string>& id, const std::string& verb,
                      const std::string& state, const std::string& help,
                      vostrel::Answer (vostrel::Machines::*change)(const std::string&),
                      const Io& io, int& status) {
  auto* cmd = fly.add_subcommand(verb, help);
  cmd->add_option("ID", *id, "Machine id")->required();
  auto wait = std::make_shared<bool>(false);
  cmd->add_flag("--wait", *wait,
                "Return once the machine is " + state + " (as apply waits: up to 5 minutes)");
  cmd->callback([adapter, id, verb, state, wait, change, &io, &status] {
    auto core = make_core(*adapter, io);
    const std::string& app = *core.fly_app();
    settle((core.*change)(*id), verb, *id, app);
    if (*wait) {
      const auto waited = orchestrate::fleet::await_state(core, *id, state);
      if (waited.refused()) {
        throw CommandRefused("machine " + *id + " did not become " + state + ": " +
                             waited.reason());
      }
      settle(waited, "wait for", *id, app);
    }
    status = 0;
  });
}

void add_lifecycle(CLI::App& fly, const std::shared_ptr<AdapterOptions>& adapter, const Io& io,
                   int& status) {
  auto id = std::make_shared<std::string>();
  add_state_change(fly, adapter, id, "start", std::string(machine_state::kStarted),
                   "Start a machine. Exit 1 when the platform refuses (with --wait: or the\n"
                   "machine is not started in time), 2 without an answer.",
                   &vostrel::Machines::start_machine, io, status);
  add_state_change(fly, adapter, id, "stop", std::string(machine_state::kStopped),
                   "Stop a machine. Exit 1 when the platform refuses (with --wait: or the\n"
                   "machine is not stopped in time), 2 without an answer.",
                   &vostrel::Machines::stop_machine, io, status);

  auto force = std::make_shared<bool>(false);
  auto* destroy = fly.add_subcommand(
      "destroy",
      "Destroy a machine: stop it and wait until stopped first, unless --force, printing each\n"
      "platform response. Exit 1 when the platform refuses a step, 2 without an answer.");
  destroy->add_option("ID", *id, "Machine id")->required();
  destroy->add_flag("--force", *force, "Destroy at once, even while running");
  destroy->callback([adapter, id, force, &io, &status] {
    auto core = make_core(*adapter, io);
    const auto answer = core.destroy_machine(
        *id, {.force = *force},
        [&io, &id](vostrel::DestroyStep step, const vostrel::Answer& step_answer) {
          if (step != vostrel::DestroyStep::kGet) {
            io.out << vostrel::destroy_step_line(step, *id, step_answer.value) << '\n';
          }
          return step_answer.done();
        });
    settle(answer, "destroy", *id, *core.fly_app());
    status = 0;
  });
}

void add_address(CLI::App& fly, const std::shared_ptr<AdapterOptions>& adapter, const Io& io,
                 int& status) {
  struct Options {
    std::string meter_id;
    std::optional<std::string> serial;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = fly.add_subcommand(
      "address",
      "Print the address of a meter's primary mediator (the first started, else\n"
      "the first listed, in any region: as addresses), found by DNS (a look-up\n"
      "gives up after 7 s); only the address goes to stdout.\n"
      "Exit 1: no machine for the meter; 2: the machines cannot be listed;\n"
      "10: private look-up failed; 11: public look-up failed.");
  cmd->add_option("METER_ID", options->meter_id, "The meter's id")->required();
  cmd->add_option("--serial", options->serial, "The meter's serial (default: fly --serial)");
  cmd->callback([adapter, options, &io, &status] {
    if (!adapter->serial) adapter->serial = options->serial;
    auto core = make_core(*adapter, io);
    // The rule of `addresses`, so that the two commands never disagree. A failed listing must
    // not pass for a meter without a mediator.
    std::optional<fleet::MeterAddress> found;
    try {
      found = fleet::meter_address(core, options->meter_id);
    } catch (const vostrel::PlatformError& e) {
      throw CommandError(std::string("cannot list the machines: ") + e.what());
    }
    if (!found) throw CommandRefused("no match for meters with id " + options->meter_id);
    io.out << escape_for_terminal(found->address) << '\n';
    status = 0;
  });
}

}  // namespace

void add_fly_commands(CLI::App& app, const Io& io, int& status) {
  auto* fly = app.add_subcommand("fly", "Manage meters' mediator machines on the Fly platform");
  fly->require_subcommand(1);
  auto adapter = std::make_shared<AdapterOptions>();
  fly->add_option(
      "--app", adapter->app,
      std::string("Fly application name (default: environment variable ") + kAppVariable + ")");
  auto* token =
      fly->add_option("--token", adapter->token,
                      std::string("API token, shown to every user in the process list: prefer "
                                  "--token-file; - reads one line of standard input (default: "
                                  "environment variable ") +
                          kTokenVariable + ")");
  fly->add_option("--token-file", adapter->token_file,
                  "File holding the API token (yours, writable by you alone)")
      ->excludes(token);
  fly->add_option("--api-url", adapter->api_url,
                  "Machines API base URL (default https://api.machines.dev)");
  fly->add_option("--ca-file", adapter->ca_file,
                  "PEM file of the CA certificates that verify the API server (default: the "
                  "system's)");
  fly->add_option("--region", adapter->region,
                  "Region that create uses (default iad) and list shows (default: every region)");
  fly->add_option("--image", adapter->image, "Image of mediator machines (create needs it)");
  fly->add_option("--dns-server", adapter->dns_server,
                  "Private-network name server, ADDR[:PORT] or [V6]:PORT")
      ->capture_default_str();
  fly->add_option("--public-resolver", adapter->public_resolver,
                  "Replaces the built-in public resolver (8.8.8.8), ADDR[:PORT] or [V6]:PORT");
  fly->add_flag("--single-meter", adapter->single_meter,
                "The application serves one meter (needs --serial)");
  fly->add_option("--serial", adapter->serial, "Serial of the single meter");
  auto* priv = fly->add_flag("--private", adapter->use_private,
                             "Use private (flycast) addresses (default unless --single-meter)");
  auto* pub = fly->add_flag("--public", adapter->use_public,
                            "Use the public address (default with --single-meter)");
  priv->excludes(pub);

  add_list(*fly, adapter, io, status);
  add_create(*fly, adapter, io, status);
  add_lifecycle(*fly, adapter, io, status);
  add_address(*fly, adapter, io, status);
  add_fleet_commands(
      *fly, [adapter, &io] { return adapter_options(*adapter, io); }, io, status);
}

}  // namespace quelmar::cli
