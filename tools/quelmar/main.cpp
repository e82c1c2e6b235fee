#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "cli.hpp"

int main(int argc, char** argv) {
  const quelmar::cli::Io io{std::cin, std::cout, std::cerr,
                            [](const std::string& name) -> std::optional<std::string> {
                              const char* value = std::getenv(name.c_str());
                              if (value == nullptr) return std::nullopt;
                              return std::string(value);
                            },
                            isatty(STDERR_FILENO) == 1};
  const int status = quelmar::cli::run(argc, argv, io);
  std::cout.flush();
  return status;
}
