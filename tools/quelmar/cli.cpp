#include "cli.hpp"

#include <exception>
#include <ostream>

#include "commands.hpp"
#include "quelmar/orchestrate/adapter/vostrel.hpp"

namespace quelmar::cli {

int run(int argc, const char* const* argv, const Io& io) {
  CLI::App app{"quelmar: tools for operators of a fleet of electricity meters", "quelmar"};
  app.set_version_flag("--version", QUELMAR_VERSION);
  app.require_subcommand(1);
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
