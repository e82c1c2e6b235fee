// Fleet operations against the in-process fake platform and name server.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orchestrate/adapter/vostrel_fixture.hpp"
#include "quelmar/orchestrate/fleet.hpp"

namespace quelmar::orchestrate::fleet::testing {

using adapter::vostrel::core_options;
using adapter::vostrel::Machines;
using adapter::vostrel::testing::kApp;
using adapter::vostrel::testing::kImage;
using adapter::vostrel::testing::kToken;
using nlohmann::json;

inline Meter meter(const std::string& id, const std::string& serial, int port = 50051) {
  return {.meter_id = id, .serial = serial, .ip_address = "10.1.2.3", .port = port};
}

// A mediator in step with meter(meter_id, ...) unless changed afterwards.
inline json mediator(const std::string& id, const std::string& state, const std::string& meter_id,
                     int port = 50051, const std::string& region = "iad") {
  json record =
      adapter::vostrel::testing::machine_record(id, "mediator-" + id, state, meter_id, port);
  record["region"] = region;
  record["config"]["env"] = {{"METER_IP_ADDRESS", "10.1.2.3"}, {"USE_CERT_AUTH", "false"}};
  record["config"]["init"] = {{"cmd", {"/mediator"}}};
  record["config"]["guest"] = {{"cpus", 1}, {"memory_mb", 256}};
  return record;
}

// "ACTION METER MACHINE REGION [path:from->to ...] [prune]", one per action; "-" for an absent
// side of a change.
inline std::vector<std::string> described(const Plan& plan) {
  std::vector<std::string> lines;
  for (const auto& a : plan.actions) {
    std::string line = to_string(a.kind) + " " + a.meter_id + " " +
                       (a.machine ? a.machine->id + " " + a.machine->region : "-");
    for (const auto& c : a.changes)
      line +=
          " " + c.path + ":" + (c.from ? c.from->dump() : "-") + "->" + (c.to ? c.to->dump() : "-");
    if (a.prune) line += " prune";
    lines.push_back(line);
  }
  return lines;
}

inline std::vector<std::string> described(const Report& report) {
  std::vector<std::string> lines;
  for (const auto& r : report.results) {
    lines.push_back(to_string(r.action) + " " + r.meter_id + ": " + to_string(r.outcome) +
                    (r.error.empty() ? "" : " (" + r.error + ")"));
  }
  return lines;
}

class FleetTest : public adapter::vostrel::testing::VostrelTest {
 protected:
  PlanOptions plan_options(bool prune = false) { return {.prune = prune, .cmd = "/mediator"}; }

  std::size_t count_requests(const std::string& method, const std::string& path_part) const {
    std::size_t n = 0;
    for (const auto& r : platform.requests()) {
      if (r.method == method && r.path.find(path_part) != std::string::npos) ++n;
    }
    return n;
  }
};

}  // namespace quelmar::orchestrate::fleet::testing
