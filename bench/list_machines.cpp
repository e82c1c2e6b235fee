// Lists an app's machines once through the client, with full records, the brief listing kept
// whole, or the brief listing record by record, so the benchmark can compare their time and
// memory. usage: bench_list URL TOKEN APP full|brief|each
#include <cstdio>
#include <string>

#include "corvane/api.hpp"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_list URL TOKEN APP full|brief|each\n");
    return 2;
  }
  const std::string mode = argv[4];
  corvane::api::API api(argv[2], {.base_url = argv[1]});
  std::size_t count = 0;
  nlohmann::json machines;
  if (mode == "each") {
    machines = api.list_brief_each(argv[3], "", [&count](nlohmann::json&&) { ++count; });
  } else {
    machines = mode == "full" ? api.list(argv[3], "") : api.list_brief(argv[3], "");
    count = machines.size();
  }
  if (!machines.is_array()) {
    std::fprintf(stderr, "bench_list: listing failed\n");
    return 1;
  }
  std::printf("%zu machines\n", count);
  return 0;
}
