#include "stdin_use.hpp"

#include "commands.hpp"

namespace quelmar::cli {

void check_stdin_use(std::initializer_list<StdinUse> uses) {
  const StdinUse* first = nullptr;
  for (const StdinUse& use : uses) {
    if (!use.reads) continue;
    if (first != nullptr) {
      throw CommandError(first->what + " and " + use.what +
                         " cannot both read standard input: give one of them a file");
    }
    first = &use;
  }
}

}  // namespace quelmar::cli
