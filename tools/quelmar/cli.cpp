#include "cli.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

#include "build_info.hpp"
#include "closest_name.hpp"
#include "commands.hpp"
#include "quelmar/orchestrate/adapter/vostrel.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/logging.hpp"
#include "quelmar/util/secrets.hpp"
#include "redacting_output.hpp"

namespace quelmar::cli {

namespace {

constexpr std::string_view kTokenOption = "--token";

// Every API token the process was given, hidden in all it writes for as long as it runs: the
// values of --token wherever they stand on the command line, and the environment's.
std::vector<util::SecretScope> secrets_of(int argc, const char* const* argv, const Io& io) {
  std::vector<util::SecretScope> secrets;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == kTokenOption && i + 1 < argc) secrets.emplace_back(argv[i + 1]);
    if (arg.starts_with(std::string(kTokenOption) + "=")) {
      secrets.emplace_back(std::string(arg.substr(kTokenOption.size() + 1)));
    }
  }
  if (io.getenv) {
    if (auto token = io.getenv(kTokenVariable)) secrets.emplace_back(*token);
  }
  return secrets;
}

// One inert line on stderr, whatever the message holds.
void report(const Io& io, const std::string& message) {
  io.err << "quelmar: " << util::escape_for_terminal(message) << '\n';
}

// Options of every command may follow its subcommands: `quelmar fly list --log-level debug`.
void let_options_follow_commands(CLI::App& app) {
  for (CLI::App* command : app.get_subcommands({})) {
    command->fallthrough();
    let_options_follow_commands(*command);
  }
}

// The last command given: `fly` in `quelmar fly lsit`.
CLI::App& last_command(CLI::App& app) {
  CLI::App* command = &app;
  while (!command->get_subcommands().empty()) command = command->get_subcommands().front();
  return *command;
}

// "quelmar fly" for the fly command.
std::string command_path(const CLI::App& command) {
  std::string path = command.get_name();
  for (const CLI::App* parent = command.get_parent(); parent != nullptr;
       parent = parent->get_parent()) {
    path.insert(0, parent->get_name() + " ");
  }
  return path;
}

// A command line that failed to parse with arguments left over: the first of them, an unknown
// option or command, is what went wrong, rather than what CLI11 then found missing (a required
// option or subcommand that the left-over was meant to be).
std::optional<std::string> unknown_argument(CLI::App& app) {
  const std::vector<std::string> left_over = app.remaining(true);
  if (left_over.empty()) return std::nullopt;
  const std::string& first = left_over.front();
  if (first.size() > 1 && first.starts_with('-') && first != "--") {
    return "unknown option '" + first.substr(0, first.find('=')) + "'";
  }
  CLI::App& command = last_command(app);
  const std::vector<CLI::App*> subcommands = command.get_subcommands({});
  if (subcommands.empty() || first.starts_with('-')) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(subcommands.size());
  for (const CLI::App* subcommand : subcommands) names.push_back(subcommand->get_name());
  // A known name is left over only after "--": not a typo.
  if (std::find(names.begin(), names.end(), first) != names.end()) return std::nullopt;
  const auto closest = closest_name(first, names);
  return "unknown command '" + first + "' (" +
         (closest ? "did you mean '" + *closest + "'?"
                  : "see '" + command_path(command) + " --help'") +
         ")";
}

// Output that did not reach its reader is a failure, whatever the command did;
// a reader that went away (a closed pipe) is not worth a message. `earlier_error`: why a
// write failed before, when one did.
int finish(const Io& io, int status, int earlier_error) {
  const bool failed_before = !io.out;
  io.out.clear();
  errno = 0;
  io.out.flush();
  if (!failed_before && io.out) return status;
  const int error = errno != 0 ? errno : earlier_error;
  if (error != EPIPE) {
    io.err << "quelmar: cannot write output: "
           << (error != 0 ? std::strerror(error) : "write failed") << '\n';
  }
  return kExitUsage;
}

int run_redacted(int argc, const char* const* argv, const Io& io) {
  CLI::App app{"quelmar: tools for operators of a fleet of electricity meters", "quelmar"};
  app.set_version_flag("-V,--version", build_info::version_line("quelmar"),
                       "Print the program's name, version and git revision, then exit");
  app.require_subcommand(1);
  std::string log_level = "info";
  app.add_option("--log-level", log_level,
                 "Least level of log lines on stderr (before or after the command)")
      ->check(CLI::IsMember({"debug", "info", "warning", "error", "off"}))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->capture_default_str();
  app.parse_complete_callback([&log_level] {
    using util::logging::Level;
    const std::map<std::string, Level> levels{{"debug", Level::kDebug},
                                              {"info", Level::kInfo},
                                              {"warning", Level::kWarning},
                                              {"error", Level::kError},
                                              {"off", Level::kOff}};
    util::logging::set_level(levels.at(log_level));
  });
  int status = 0;
  add_profile_logs_commands(app, io, status);
  add_fly_commands(app, io, status);
  let_options_follow_commands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {  // --help, --version
      app.exit(e, io.out, io.err);
      return 0;
    }
    report(io, unknown_argument(app).value_or(e.what()));
    return kExitUsage;
  } catch (const orchestrate::adapter::vostrel::ProcessExit& e) {
    // The adapter asked to end the process; its message is already on stdout.
    return e.status();
  } catch (const orchestrate::adapter::vostrel::LookupFailed& e) {
    io.out.flush();
    report(io, e.what());
    return e.exit_status();
  } catch (const CommandRefused& e) {
    io.out.flush();
    report(io, e.what());
    return kExitRefused;
  } catch (const std::exception& e) {
    io.out.flush();
    report(io, e.what());
    return kExitUsage;
  }
  return status;
}

}  // namespace

int run(int argc, const char* const* argv, const Io& real) {
  const std::vector<util::SecretScope> secrets = secrets_of(argc, argv, real);
  RedactingStream out(real.out);
  RedactingStream err(real.err);
  const Io io{real.in, out, err, real.getenv, real.err_is_terminal, real.clock};
  const int status = run_redacted(argc, argv, io);
  out.drain();
  err.drain();
  return finish(real, status, out.first_error());
}

}  // namespace quelmar::cli
