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
#include "count_option.hpp"
#include "fake_dns.hpp"
#include "fake_platform.hpp"

namespace {

using quelmar::cli_options::add_count_option;

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
  cli.add_option("--bind", options.host, "Address to listen on")
      ->type_name("ADDR")
      ->capture_default_str();
  add_count_option(cli, "--port", options.port, {0, 65535},
                   "Port to listen on; 0 picks a free one");
  cli.add_option("--token", options.token, "API token that clients must send")
      ->type_name("TOKEN")
      ->capture_default_str();
  cli.add_option("--app", options.apps, "App name the fake knows from the start (repeatable)")
      ->type_name("APP");
  std::vector<std::string> tls_files;
  cli.add_option("--tls", tls_files, "Serve HTTPS with this certificate (PEM) and key (PEM)")
      ->expected(2)
      ->type_name("CERT KEY")
      ->check(CLI::ExistingFile.description(""));
  int latency_ms = 0;
  add_count_option(cli, "--latency-ms", latency_ms, {0, 60'000},
                   "Milliseconds added to every API request");
  int seed_mediators = 0;
  add_count_option(cli, "--destroyed-listings", options.destroyed_listings, {0, 1'000'000},
                   "Listings that still show a destroyed machine (state destroyed)");
  add_count_option(cli, "--seed-mediators", seed_mediators, {0, 1'000'000},
                   "Start with this many mediators (meters m-0, m-1, ...) in the first --app");
  quelmar::fake_fly::FakeDnsOptions dns_options;
  add_count_option(cli, "--dns-port", dns_options.port, {0, 65535},
                   "UDP and TCP port of the DNS responder; 0 picks a free one");
  cli.footer(
      "Prints the API base URL, then \"dns ADDR:PORT\", the name server that answers AAAA for\n"
      "APP.flycast and A for APP.fly.dev for every app the fake knows.");
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // A usage error is exit 2, as for quelmar; --help and --version are not errors.
    const int status = cli.exit(e);
    return status == 0 ? 0 : 2;
  }
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
