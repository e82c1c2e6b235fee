#include "cli.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <ostream>
#include <string_view>

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

// Output that did not reach its reader is a failure, whatever the command did;
// a reader that went away (a closed pipe) is not worth a message.
int finish(const Io& io, int status) {
  const bool failed_before = !io.out;
  io.out.clear();
  errno = 0;
  io.out.flush();
  if (!failed_before && io.out) return status;
  const int error = errno;
  if (error != EPIPE) {
    io.err << "quelmar: cannot write output: "
           << (error != 0 ? std::strerror(error) : "write failed") << '\n';
  }
  return kExitUsage;
}

int run_redacted(int argc, const char* const* argv, const Io& io) {
  CLI::App app{"quelmar: tools for operators of a fleet of electricity meters", "quelmar"};
  app.set_version_flag("--version", QUELMAR_VERSION);
  app.require_subcommand(1);
  std::string log_level = "info";
  app.add_option("--log-level", log_level, "Least level of log lines on stderr")
      ->check(CLI::IsMember({"debug", "info", "warning", "error", "off"}))
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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {  // --help, --version
      app.exit(e, io.out, io.err);
      return 0;
    }
    report(io, e.what());
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
  const Io io{real.in, out, err, real.getenv, real.err_is_terminal};
  const int status = run_redacted(argc, argv, io);
  out.drain();
  err.drain();
  return finish(real, status);
}

}  // namespace quelmar::cli
