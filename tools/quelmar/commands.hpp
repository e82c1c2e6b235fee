// The CLI's command groups. Each registers its subcommands on the app; a
// subcommand's callback stores the exit status it wants in `status`.
#pragma once

#include <stdexcept>

#include <CLI/CLI.hpp>

#include "io.hpp"

namespace quelmar::cli {

// An error the operator can fix: printed as "quelmar: <message>", exit status 2.
class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The platform or the operator said no: printed as "quelmar: <message>", exit status 1.
class CommandRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kTokenVariable = "FLY_API_TOKEN";
inline constexpr int kExitRefused = 1;
// The question could not be answered (usage error, platform unreachable or failing).
inline constexpr int kExitUsage = 2;

void add_profile_logs_commands(CLI::App& app, const Io& io, int& status);
void add_fly_commands(CLI::App& app, const Io& io, int& status);

}  // namespace quelmar::cli
