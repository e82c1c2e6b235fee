// quelmar-fake-fly: serves the in-memory Machines API on loopback until SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "fake_platform.hpp"

namespace {

// Blocks the stop signals in every thread, so they can be taken with sigwait().
sigset_t block_stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

}  // namespace

int main(int argc, char** argv) {
  quelmar::fake_fly::FakePlatformOptions options;
  CLI::App cli{"In-memory stand-in for the Fly Machines API, for offline use."};
  cli.add_option("--bind", options.host, "Address to listen on")->capture_default_str();
  cli.add_option("--port", options.port, "Port to listen on (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  cli.add_option("--token", options.token, "API token that clients must send")
      ->capture_default_str();
  cli.add_option("--app", options.apps, "App name the fake knows from the start (repeatable)");
  CLI11_PARSE(cli, argc, argv);

  // Before any thread starts, so that the server's threads inherit the mask.
  const sigset_t stop_signals = block_stop_signals();
  try {
    quelmar::fake_fly::FakePlatform platform(options);
    std::cout << platform.base_url() << std::endl;
    int received = 0;
    sigwait(&stop_signals, &received);
    platform.stop();
  } catch (const std::exception& e) {
    std::cerr << "quelmar-fake-fly: " << e.what() << '\n';
    return 1;
  }
  std::cout.flush();
  return 0;
}
