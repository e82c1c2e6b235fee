#include "commands.hpp"

namespace quelmar::cli {

void add_fly_commands(CLI::App& /*app*/, const Io& /*io*/, int& /*status*/) {}

}  // namespace quelmar::cli
