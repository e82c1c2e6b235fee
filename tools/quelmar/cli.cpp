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
#include "commands.hpp"
#include "help.hpp"
#include "quelmar/orchestrate/adapter/machines.hpp"
#include "quelmar/util/closest_name.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/logging.hpp"
#include "quelmar/util/redacting_output.hpp"
#include "quelmar/util/secrets.hpp"
#include "run_state.hpp"
#include "token_source.hpp"

namespace quelmar::cli {

namespace {

constexpr std::string_view kTokenOption = "--token";

// The value of --token when argv[i] gives one: "--token VALUE" or "--token=VALUE".
std::optional<std::string_view> token_value(int argc, const char* const* argv, int i) {
  const std::string_view arg = argv[i];
  if (arg == kTokenOption && i + 1 < argc) return argv[i + 1];
  if (arg.starts_with(std::string(kTokenOption) + "=")) return arg.substr(kTokenOption.size() + 1);
  return std::nullopt;
}

// Where the value of the --token at argv[i] stands.
int value_index(const char* const* argv, int i) { return argv[i] == kTokenOption ? i + 1 : i; }

// Every API token the process was given, hidden in all it writes for as long as it runs: the
// values of --token wherever they stand on the command line (and the word after a token the
// shell split), and the environment's. A token read from a file or stdin is added when read.
std::vector<util::SecretScope> secrets_of(int argc, const char* const* argv, const Io& io) {
  std::vector<util::SecretScope> secrets;
  for (int i = 1; i < argc; ++i) {
    const std::optional<std::string_view> value = token_value(argc, argv, i);
    if (!value || *value == "-") continue;
    if (is_split_token_head(*value) && value_index(argv, i) + 1 < argc) {
      secrets.emplace_back(std::string(*value) + " " + argv[value_index(argv, i) + 1]);
    }
    secrets.emplace_back(std::string(*value));
  }
  if (io.getenv) {
    if (auto token = io.getenv(kTokenVariable)) secrets.emplace_back(*token);
  }
  return secrets;
}

// A token the shell split in two (`--token $T` unquoted) is refused before anything else can
// quote its parts: it is no token, and its second word would pass for an argument.
std::optional<std::string> split_token(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::optional<std::string_view> value = token_value(argc, argv, i);
    if (value && is_split_token_head(*value)) {
      return "the token given by --token was split by the shell into separate words: quote "
             "it, or better pass --token-file FILE or --token -";
    }
  }
  return std::nullopt;
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

// The long options a command takes, those of the commands above it included (they may follow
// it). A one-letter option is too short to guess another from.
std::vector<std::string> long_option_names(const CLI::App& command) {
  std::vector<std::string> names;
  for (const CLI::App* c = &command; c != nullptr; c = c->get_parent()) {
    for (const CLI::Option* opt : c->get_options()) {
      for (const auto& name : opt->get_lnames()) names.push_back("--" + name);
    }
  }
  return names;
}

// A command that needs one of its own, given none: its list of commands, on stderr.
bool report_missing_command(CLI::App& app, const Io& io) {
  CLI::App& command = last_command(app);
  if (command.get_require_subcommand_min() == 0 || !command.get_subcommands().empty() ||
      !app.remaining(true).empty()) {
    return false;
  }
  const std::string path = command_path(command);
  io.err << "quelmar: '" << path << "' needs a command:\n"
         << HelpFormatter().make_subcommands(&command, CLI::AppFormatMode::Normal) << "\nSee '"
         << path << " --help'.\n";
  return true;
}

// Whether `word` names an option of `app` or of any of its commands that takes a value.
bool takes_value(const CLI::App& app, const std::string& word) {
  if (const CLI::Option* option = app.get_option_no_throw(word)) {
    return option->get_items_expected_max() > 0;
  }
  for (const CLI::App* command : app.get_subcommands({})) {
    if (takes_value(*command, word)) return true;
  }
  return false;
}

// Where the left-over `word` stands in argv: the first occurrence that is neither an option's
// value nor the name of a command given.
int position_of(CLI::App& app, int argc, const char* const* argv, const std::string& word) {
  std::vector<std::string> commands;  // in the order given
  for (CLI::App* command = &app; !command->get_subcommands().empty();) {
    command = command->get_subcommands().front();
    commands.push_back(command->get_name());
  }
  std::size_t next_command = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string before = argv[i - 1];
    const bool is_value = i > 1 && before.starts_with('-') &&
                          before.find('=') == std::string::npos && takes_value(app, before);
    if (is_value) continue;
    if (next_command < commands.size() && argv[i] == commands[next_command]) {
      ++next_command;
      continue;
    }
    if (argv[i] == word) return i;
  }
  return argc;  // not found: cannot happen, and a position is still no secret
}

// A command line that failed to parse with arguments left over: the first of them, an unknown
// option or command, is what went wrong, rather than what CLI11 then found missing (a required
// option or subcommand that the left-over was meant to be). A word that is not an option may be
// part of a token the shell split: it is named by its position, and by its text only when it is
// within a typo of a command name.
std::optional<std::string> unknown_argument(CLI::App& app, int argc, const char* const* argv) {
  const std::vector<std::string> left_over = app.remaining(true);
  if (left_over.empty()) return std::nullopt;
  const std::string& first = left_over.front();
  const std::string position = "argument " + std::to_string(position_of(app, argc, argv, first));
  CLI::App& command = last_command(app);
  if (first.size() > 1 && first.starts_with('-') && first != "--") {
    const std::string typed = first.substr(0, first.find('='));
    const auto closest = typed.starts_with("--")
                             ? util::closest_name(typed, long_option_names(command))
                             : std::nullopt;
    return "unknown option '" + typed + "'" +
           (closest ? " (did you mean '" + *closest + "'?)" : "");
  }
  const std::vector<CLI::App*> subcommands = command.get_subcommands({});
  if (subcommands.empty() || first.starts_with('-')) return position + " was not expected";
  std::vector<std::string> names;
  names.reserve(subcommands.size());
  for (const CLI::App* subcommand : subcommands) names.push_back(subcommand->get_name());
  // A known name is left over only after "--": not a typo.
  if (std::find(names.begin(), names.end(), first) != names.end()) {
    return position + " was not expected";
  }
  if (const auto closest = util::closest_name(first, names)) {
    return "unknown command '" + first + "' (did you mean '" + *closest + "'?)";
  }
  return position + " is not a command of '" + command_path(command) + "' (see '" +
         command_path(command) + " --help')";
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
  teach_help(app);
  if (const auto problem = split_token(argc, argv)) {
    report(io, *problem);
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {  // --help, --version
      app.exit(e, io.out, io.err);
      return 0;
    }
    if (report_missing_command(app, io)) return kExitUsage;
    report(io, unknown_argument(app, argc, argv).value_or(e.what()));
    return kExitUsage;
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
  // Before the streams: what they still hold when they drain is redacted too.
  RunState state;
  util::RedactingStream out(real.out);
  util::RedactingStream err(real.err);
  const Io io{real.in, out, err, real.getenv, real.err_is_terminal, real.clock, &state};
  const int status = run_redacted(argc, argv, io);
  out.drain();
  err.drain();
  return finish(real, status, out.first_error());
}

}  // namespace quelmar::cli
