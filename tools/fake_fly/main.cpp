// quelmar-fake-fly: serves the in-memory Machines API on loopback until SIGTERM or SIGINT.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "build_info.hpp"
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

// A mediator record as the platform lists it, complete with the fields nobody reads, so that
// a seeded fleet is as heavy to list as a real one.
nlohmann::json example_mediator(int index) {
  char id[16];
  std::snprintf(id, sizeof id, "%014x", 0x5eed0000 + index);
  const std::string n = std::to_string(index);
  const std::string ip = "10." + std::to_string(index / 65536 % 256) + "." +
                         std::to_string(index / 256 % 256) + "." + std::to_string(index % 256);
  const nlohmann::json event = {{"type", "start"},
                                {"status", "started"},
                                {"source", "flyd"},
                                {"timestamp", 1699408353100LL + index}};
  return {{"id", id},
          {"name", "mediator-SN" + n},
          {"state", "started"},
          {"region", "iad"},
          {"instance_id",
           "01HEPA330HZ37A78TK0" + std::string(7 - std::min<std::size_t>(7, n.size()), '0') + n},
          {"private_ip", "fdaa:0:18:a7b:196:e274:9ce1:" + n},
          {"image_ref",
           {{"registry", "registry.fly.io"},
            {"repository", "mediator"},
            {"tag", "1"},
            {"digest", "sha256:597c3e12f830132be2aa69b4c0deccb0657ea4253e6d59c6f38e41e9f69a0add"},
            {"labels", nlohmann::json::object()}}},
          {"created_at", "2023-11-08T01:52:30Z"},
          {"updated_at", "2023-11-08T01:52:33Z"},
          {"config",
           {{"image", "registry.fly.io/mediator:1"},
            {"init", {{"cmd", {"/mediator"}}}},
            {"env", {{"METER_IP_ADDRESS", ip}, {"USE_CERT_AUTH", "false"}}},
            {"metadata", {{"meter_id", "m-" + n}, {"ip_address", ip}}},
            {"services",
             {{{"protocol", "tcp"},
               {"internal_port", 50051},
               {"ports", {{{"port", 50051}, {"handlers", nlohmann::json::array()}}}},
               {"autostart", false},
               {"autostop", false}}}},
            {"guest", {{"cpu_kind", "shared"}, {"cpus", 1}, {"memory_mb", 256}}},
            {"restart", {{"policy", "always"}}},
            {"dns", nlohmann::json::object()}}},
          {"events", {event, event, event}},
          {"checks", nlohmann::json::array()}};
}

}  // namespace

int main(int argc, char** argv) {
  quelmar::fake_fly::FakePlatformOptions options;
  CLI::App cli{"In-memory stand-in for the Fly Machines API, for offline use.", "quelmar-fake-fly"};
  cli.set_version_flag("-V,--version", quelmar::build_info::version_line("quelmar-fake-fly"),
                       "Print the program's name, version and git revision, then exit");
  cli.add_option("--bind", options.host, "Address to listen on")->capture_default_str();
  cli.add_option("--port", options.port, "Port to listen on (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  cli.add_option("--token", options.token, "API token that clients must send")
      ->capture_default_str();
  cli.add_option("--app", options.apps, "App name the fake knows from the start (repeatable)");
  std::vector<std::string> tls_files;
  cli.add_option("--tls", tls_files, "Serve HTTPS with this certificate (PEM) and key (PEM)")
      ->expected(2)
      ->type_name("CERT KEY")
      ->check(CLI::ExistingFile);
  int latency_ms = 0;
  cli.add_option("--latency-ms", latency_ms, "Milliseconds added to every API request")
      ->capture_default_str()
      ->check(CLI::Range(0, 60'000));
  int seed_mediators = 0;
  cli.add_option("--destroyed-listings", options.destroyed_listings,
                 "Listings that still show a destroyed machine (state destroyed)")
      ->capture_default_str()
      ->check(CLI::Range(0, 1'000'000));
  cli.add_option("--seed-mediators", seed_mediators,
                 "Start with this many mediators (meters m-0, m-1, ...) in the first --app")
      ->check(CLI::Range(0, 1'000'000));
  quelmar::fake_fly::FakeDnsOptions dns_options;
  cli.add_option("--dns-port", dns_options.port,
                 "UDP and TCP port of the DNS responder (0: any free port)")
      ->capture_default_str();
  cli.footer(
      "Prints the API base URL, then \"dns ADDR:PORT\", the name server that answers AAAA for\n"
      "APP.flycast and A for APP.fly.dev for every app the fake knows.");
  CLI11_PARSE(cli, argc, argv);
  if (tls_files.size() == 2) {
    options.tls_cert_file = tls_files[0];
    options.tls_key_file = tls_files[1];
  }

  // Before any thread starts, so that the server's threads inherit the mask.
  options.latency = std::chrono::milliseconds(latency_ms);
  const sigset_t stop_signals = block_stop_signals();
  try {
    quelmar::fake_fly::FakePlatform platform(options);
    if (seed_mediators > 0 && options.apps.empty()) {
      throw std::runtime_error("--seed-mediators needs an --app");
    }
    for (int i = 0; i < seed_mediators; ++i) {
      platform.add_machine(options.apps.front(), example_mediator(i));
    }
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
