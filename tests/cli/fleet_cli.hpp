// `quelmar fly` fleet commands in-process against the fake platform, with an inventory file.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/fake_fly_cli.hpp"
#include "quelmar/util/logging.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace quelmar::cli::testing {

constexpr const char* kToken = "fleet-secret-0815";
constexpr const char* kImage = "registry.example/mediator:1";

// A listed mediator of `meter_id`, in step with an inventory row at 10.0.0.1 and `--cmd /m`.
inline nlohmann::json listed_mediator(const std::string& id, const std::string& meter_id,
                                      const std::string& region = "iad",
                                      const std::string& state = "started", int port = 50051) {
  return {{"id", id},
          {"name", "mediator-" + id},
          {"state", state},
          {"region", region},
          {"instance_id", "01V" + id},
          {"config",
           {{"image", kImage},
            {"init", {{"cmd", {"/m"}}}},
            {"metadata", {{"meter_id", meter_id}, {"ip_address", "10.0.0.1"}}},
            {"env", {{"METER_IP_ADDRESS", "10.0.0.1"}, {"USE_CERT_AUTH", "false"}}},
            {"services", {{{"protocol", "tcp"}, {"ports", {{{"port", port}}}}}}}}}};
}

class FleetCli : public quelmar::cli::testing::FakeFlyCli {
 protected:
  FleetCli() : FakeFlyCli(kToken) { dir_ = quelmar::testing::make_temp_dir("quelmar-fleet"); }
  ~FleetCli() override { std::filesystem::remove_all(dir_); }

  std::string inventory_path() const { return dir_ + "/meters.csv"; }

  std::string inventory(const std::string& text) {
    std::ofstream(inventory_path()) << text;
    return inventory_path();
  }

  std::vector<std::string> request_lines() const {
    std::vector<std::string> lines;
    for (const auto& r : platform_.requests()) lines.push_back(r.method + " " + r.path);
    return lines;
  }

  quelmar::util::logging::ScopedLogLevel quiet_{quelmar::util::logging::Level::kOff};
  std::string dir_;
};

}  // namespace quelmar::cli::testing
