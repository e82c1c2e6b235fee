// A property of a fuzz target that must hold for every input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace quelmar::fuzz {

// Ends the run when `holds` is false, so that libFuzzer keeps the input (and a replay fails).
inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property broken: %s\n", property);
  std::abort();
}

}  // namespace quelmar::fuzz
