// Lists the mediator machines of a Fly app: machines APP [API_URL], token in FLY_API_TOKEN.
#include <cstdlib>
#include <exception>
#include <iostream>

#include <quelmar/orchestrate/adapter/vostrel.hpp>
#include <quelmar/util/escape.hpp>

int main(int argc, char** argv) {
  namespace vostrel = quelmar::orchestrate::adapter::vostrel;
  const char* token = std::getenv("FLY_API_TOKEN");
  if (argc < 2 || argc > 3 || token == nullptr) {
    std::cerr << "usage: FLY_API_TOKEN=... machines APP [API_URL]\n";
    return 2;
  }
  vostrel::FlyAdapterOptions options{.api_token = token, .app_name = argv[1]};
  if (argc == 3) options.client.base_url = argv[2];
  try {
    vostrel::FlyAdapter adapter(options);
    for (const auto& machine : adapter.list_strict()) {
      std::cout << quelmar::util::escape_for_terminal(machine.id) << ' '
                << quelmar::util::escape_for_terminal(machine.name) << '\n';
    }
  } catch (const std::exception& e) {
    std::cerr << "machines: " << quelmar::util::escape_for_terminal(e.what()) << '\n';
    return 2;
  }
  return 0;
}
