// The `quelmar` command line, runnable in-process for tests.
#pragma once

#include "io.hpp"

namespace quelmar::cli {

// Parses argv, runs the command and returns the process exit status.
int run(int argc, const char* const* argv, const Io& io);

}  // namespace quelmar::cli
