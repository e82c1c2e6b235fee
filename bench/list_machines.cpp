// Lists an app's machines once through the client, with full records kept whole or record by
// record as the listing arrives, so the benchmark can compare their time and memory.
// usage: bench_list URL TOKEN APP full|each
#include <cstdio>
#include <string>

#include "corvane/api.hpp"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_list URL TOKEN APP full|each\n");
    return 2;
  }
  const std::string mode = argv[4];
  corvane::api::API api(argv[2], {.base_url = argv[1]});
  std::size_t count = 0;
  bool listed = false;
  if (mode == "each") {
    listed = api.list_machines(argv[3], "", [&count](nlohmann::json&&) { ++count; }).done();
  } else {
    const nlohmann::json machines = api.list(argv[3], "");
    listed = machines.is_array();
    count = machines.size();
  }
  if (!listed) {
    std::fprintf(stderr, "bench_list: listing failed\n");
    return 1;
  }
  std::printf("%zu machines\n", count);
  return 0;
}
