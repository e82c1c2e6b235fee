#include "cli.hpp"

#include <exception>
#include <map>
#include <ostream>

#include "commands.hpp"
#include "quelmar/orchestrate/adapter/vostrel.hpp"
#include "quelmar/util/logging.hpp"

namespace quelmar::cli {

int run(int argc, const char* const* argv, const Io& io) {
  CLI::App app{"quelmar: tools for operators of a fleet of electricity meters", "quelmar"};
  app.set_version_flag("--version", QUELMAR_VERSION);
  app.require_subcommand(1);
  std::string log_level = "info";
  app.add_option("--log-level", log_level, "Least level of log lines on stderr")
      ->check(CLI::IsMember({"debug", "info", "warning", "error", "off"}))
      ->capture_default_str();
  app.parse_complete_callback([&log_level] {
    using util::logging::Level;
    const std::map<std::string, Level> levels{{"debug", Level::debug},
                                              {"info", Level::info},
                                              {"warning", Level::warning},
                                              {"error", Level::error},
                                              {"off", Level::off}};
    util::logging::set_level(levels.at(log_level));
  });
  int status = 0;
  add_profile_logs_commands(app, io, status);
  add_fly_commands(app, io, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, io.out, io.err);
    return code == 0 ? 0 : kExitUsage;
  } catch (const orchestrate::adapter::vostrel::ProcessExit& e) {
    // The adapter asked to end the process; its message is already on stdout.
    io.out.flush();
    return e.status();
  } catch (const std::exception& e) {
    io.out.flush();
    io.err << "quelmar: " << e.what() << '\n';
    return kExitUsage;
  }
  io.out.flush();
  return status;
}

}  // namespace quelmar::cli
