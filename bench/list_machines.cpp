// Lists an app's machines once through the client, with full records or the brief listing, so
// the benchmark can compare their time and memory. usage: bench_list URL TOKEN APP full|brief
#include <cstdio>
#include <string>

#include "corvane/api.hpp"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_list URL TOKEN APP full|brief\n");
    return 2;
  }
  const std::string mode = argv[4];
  corvane::api::API api(argv[2], {.base_url = argv[1]});
  const nlohmann::json machines =
      mode == "full" ? api.list(argv[3], "") : api.list_brief(argv[3], "");
  if (!machines.is_array()) {
    std::fprintf(stderr, "bench_list: listing failed\n");
    return 1;
  }
  std::printf("%zu machines\n", machines.size());
  return 0;
}
