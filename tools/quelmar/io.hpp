// What every command is given: the process's console and environment.
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace quelmar::cli {

class RunState;

// The process's console and environment; tests replace them.
struct Io {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  std::function<std::optional<std::string>(const std::string& name)> getenv;
  // Progress may be drawn on stderr.
  bool err_is_terminal = false;
  // The wall clock: "today" in local time, and how long a scan took.
  std::function<std::chrono::system_clock::time_point()> clock = [] {
    return std::chrono::system_clock::now();
  };
  // Set by run() for the commands: who reads standard input, secrets learnt on the way.
  RunState* state = nullptr;
};

}  // namespace quelmar::cli
