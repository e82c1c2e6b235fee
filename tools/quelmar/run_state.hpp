// What the parts of one command line share while it runs.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quelmar/util/secrets.hpp"

namespace quelmar::cli {

class RunState {
 public:
  // Standard input serves one reader (a token, an inventory, the confirmation prompt): the
  // first claim wins and any other is a CommandError naming both, before anything is read.
  void claim_stdin(const std::string& reader);

  // Hidden in every output until the run ends, including what is still buffered then.
  void keep_secret(std::string secret);

 private:
  std::optional<std::string> stdin_reader_;
  std::vector<util::SecretScope> secrets_;
};

// The value of a file option that means standard input.
inline constexpr const char* kStdinPath = "-";

// How the readers of standard input claim it.
inline constexpr const char* kConfirmationReader = "the confirmation prompt (--yes skips it)";
inline constexpr const char* kInventoryReader = "--inventory -";

}  // namespace quelmar::cli
