// quelmar-fake-fly: serves the in-memory Machines API on loopback until SIGTERM or SIGINT.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "fake_dns.hpp"
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
  int latency_ms = 0;
  cli.add_option("--latency-ms", latency_ms, "Milliseconds added to every API request")
      ->capture_default_str()
      ->check(CLI::Range(0, 60'000));
  quelmar::fake_fly::FakeDnsOptions dns_options;
  cli.add_option("--dns-port", dns_options.port,
                 "UDP and TCP port of the DNS responder (0: any free port)")
      ->capture_default_str();
  cli.footer(
      "Prints the API base URL, then \"dns ADDR:PORT\", the name server that answers AAAA for\n"
      "APP.flycast and A for APP.fly.dev for every app the fake knows.");
  CLI11_PARSE(cli, argc, argv);

  // Before any thread starts, so that the server's threads inherit the mask.
  options.latency = std::chrono::milliseconds(latency_ms);
  const sigset_t stop_signals = block_stop_signals();
  try {
    quelmar::fake_fly::FakePlatform platform(options);
    dns_options.address = options.host;
    quelmar::fake_fly::FakeDns dns(dns_options);
    dns.set_record_source(quelmar::fake_fly::fly_app_records([&platform] {
      const auto names = platform.app_names();
      return std::vector<std::string>(names.begin(), names.end());
    }));
    std::cout << platform.base_url() << '\n' << "dns " << dns.name_server() << std::endl;
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
