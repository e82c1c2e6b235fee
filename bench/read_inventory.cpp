// Reads an inventory once through the library, or only its bytes, so that the benchmark can set
// the parser's time and memory beside the floor of holding the file.
// usage: bench_inventory FILE parse|bytes
#include <cstdio>
#include <fstream>
#include <string>

#include "quelmar/orchestrate/fleet/inventory.hpp"

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[2] : "";
  if (mode != "parse" && mode != "bytes") {
    std::fprintf(stderr, "usage: bench_inventory FILE parse|bytes\n");
    return 2;
  }
  if (mode == "bytes") {
    std::ifstream file(argv[1], std::ios::binary | std::ios::ate);
    std::string text(static_cast<std::size_t>(file.tellg()), '\0');
    file.seekg(0);
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    std::printf("%zu bytes\n", text.size());
    return file ? 0 : 1;
  }
  const auto inventory = quelmar::orchestrate::fleet::read_inventory(argv[1]);
  std::printf("%zu meters, %zu problems\n", inventory.meters.size(),
              inventory.problems.size() + inventory.more_problems);
  return 0;
}
