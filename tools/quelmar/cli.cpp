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
#include "quelmar/util/redaction.hpp"

namespace quelmar::cli {

namespace {

constexpr std::string_view kTokenOption = "--token";

// Hides every API token the process was given: the values of --token wherever
// they stand on the command line, and the environment's.
util::Redactor redactor_of(int argc, const char* const* argv, const Io& io) {
  util::Redactor redactor;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == kTokenOption && i + 1 < argc) redactor.add_token(argv[i + 1]);
    if (arg.starts_with(std::string(kTokenOption) + "=")) {
      redactor.add_token(arg.substr(kTokenOption.size() + 1));
    }
  }
  if (io.getenv) {
    if (auto token = io.getenv(kTokenVariable)) redactor.add_token(*token);
  }
  return redactor;
}

// One inert line on stderr, whatever the message holds.
void report(const Io& io, const std::string& message, const util::Redactor& redactor) {
  io.err << "quelmar: " << util::escape_for_terminal(redactor.redact(message)) << '\n';
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

}  // namespace

int run(int argc, const char* const* argv, const Io& io) {
  const util::Redactor redactor = redactor_of(argc, argv, io);
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
      return finish(io, 0);
    }
    report(io, e.what(), redactor);
    return finish(io, kExitUsage);
  } catch (const orchestrate::adapter::vostrel::ProcessExit& e) {
    // The adapter asked to end the process; its message is already on stdout.
    return finish(io, e.status());
  } catch (const CommandRefused& e) {
    io.out.flush();
    report(io, e.what(), redactor);
    return finish(io, kExitRefused);
  } catch (const std::exception& e) {
    io.out.flush();
    report(io, e.what(), redactor);
    return finish(io, kExitUsage);
  }
  return finish(io, status);
}

}  // namespace quelmar::cli
