// Standard input can be read only once: at most one of a command's inputs may take it.
#pragma once

#include <initializer_list>
#include <string>

namespace quelmar::cli {

// The value of a file option that means standard input.
inline constexpr const char* kStdinPath = "-";

// One input a command may read from standard input.
struct StdinUse {
  std::string what;  // "--inventory -", "the confirmation prompt"
  bool reads = false;
};

// Throws CommandError naming the first two inputs that would both read standard input.
void check_stdin_use(std::initializer_list<StdinUse> uses);

}  // namespace quelmar::cli
