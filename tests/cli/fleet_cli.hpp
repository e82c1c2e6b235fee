// `quelmar fly` fleet commands in-process against the fake platform, with an inventory file.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/fake_fly_cli.hpp"
#include "quelmar/util/logging.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace quelmar::cli::testing {

constexpr const char* kToken = "fleet-secret-0815";

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
