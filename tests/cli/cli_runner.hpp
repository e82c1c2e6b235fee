// Runs the quelmar CLI in-process with captured streams.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli.hpp"

namespace quelmar::cli::testing {

struct CliResult {
  int status;
  std::string out;
  std::string err;
};

// Runs with stdout going to `out`; the result's out is empty.
inline CliResult run_cli_into(std::ostream& out, const std::vector<std::string>& args,
                              const std::string& input = "",
                              const std::map<std::string, std::string>& env = {}) {
  std::istringstream in(input);
  std::ostringstream err;
  const Io io{in, out, err, [&env](const std::string& name) -> std::optional<std::string> {
                const auto it = env.find(name);
                if (it == env.end()) return std::nullopt;
                return it->second;
              }};
  std::vector<const char*> argv{"quelmar"};
  for (const auto& a : args) argv.push_back(a.c_str());
  const int status = run(static_cast<int>(argv.size()), argv.data(), io);
  return {status, "", err.str()};
}

inline CliResult run_cli(const std::vector<std::string>& args, const std::string& input = "",
                         const std::map<std::string, std::string>& env = {}) {
  std::ostringstream out;
  CliResult result = run_cli_into(out, args, input, env);
  result.out = out.str();
  return result;
}

// The standard output of a program run by the shell (stderr and stdin: /dev/null), and its
// exit status.
inline std::pair<int, std::string> run_program(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>/dev/null </dev/null").c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace quelmar::cli::testing
