#include "run_state.hpp"

#include <utility>

#include "commands.hpp"

namespace quelmar::cli {

void RunState::claim_stdin(const std::string& reader) {
  if (stdin_reader_ && *stdin_reader_ != reader) {
    throw CommandError("standard input cannot serve both " + *stdin_reader_ + " and " + reader);
  }
  stdin_reader_ = reader;
}

void RunState::keep_secret(std::string secret) { secrets_.emplace_back(std::move(secret)); }

}  // namespace quelmar::cli
