// Plan, apply and addresses against the fake platform and name server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "orchestrate/adapter/vostrel_fixture.hpp"
#include "quelmar/orchestrate/fleet.hpp"

namespace quelmar::orchestrate::fleet {
namespace {

using adapter::vostrel::FlyAdapter;
using adapter::vostrel::testing::kApp;
using adapter::vostrel::testing::kImage;
using adapter::vostrel::testing::kToken;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

Meter meter(const std::string& id, const std::string& serial, int port = 50051) {
  return {.meter_id = id, .serial = serial, .ip_address = "10.1.2.3", .port = port};
}

// A mediator in step with meter(meter_id, ...) unless changed afterwards.
json mediator(const std::string& id, const std::string& state, const std::string& meter_id,
              int port = 50051) {
  json record =
      adapter::vostrel::testing::machine_record(id, "mediator-" + id, state, meter_id, port);
  record["config"]["env"] = {{"METER_IP_ADDRESS", "10.1.2.3"}, {"USE_CERT_AUTH", "false"}};
  record["config"]["init"] = {{"cmd", {"/mediator"}}};
  record["config"]["guest"] = {{"cpus", 1}, {"memory_mb", 256}};
  return record;
}

std::vector<std::string> described(const Plan& plan) {
  std::vector<std::string> lines;
  for (const auto& a : plan.actions) {
    std::string line = to_string(a.kind) + " " + a.meter_id + " " + a.machine_id.value_or("-");
    for (const auto& change : a.changes) line += " " + change;
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> described(const Report& report) {
  std::vector<std::string> lines;
  for (const auto& r : report.results) {
    lines.push_back(to_string(r.action) + " " + r.meter_id + ": " + to_string(r.outcome) +
                    (r.error.empty() ? "" : " (" + r.error + ")"));
  }
  return lines;
}

class FleetTest : public adapter::vostrel::testing::VostrelTest {
 protected:
  ApplyOptions apply_options(int parallel = 4, bool prune = false) {
    return {.api_token = kToken,
            .client = options().client,
            .cmd = "/mediator",
            .parallel = parallel,
            .prune = prune};
  }

  std::size_t count_requests(const std::string& method, const std::string& path_part) const {
    std::size_t n = 0;
    for (const auto& r : platform.requests()) {
      if (r.method == method && r.path.find(path_part) != std::string::npos) ++n;
    }
    return n;
  }
};

TEST_F(FleetTest, PlansEveryKindOfActionFromOneListing) {
  platform.add_machine(kApp, mediator("aa01", "started", "m-1"));
  platform.add_machine(kApp, mediator("aa02", "stopped", "m-2"));
  platform.add_machine(kApp, mediator("aa03", "started", "m-3", 7000));
  platform.add_machine(kApp, mediator("aa04", "started", "m-9"));
  platform.add_machine(kApp, mediator("aa05", "started", "m-1"));
  json no_meter = mediator("aa06", "started", "m-6");
  no_meter["config"]["metadata"].erase("meter_id");
  platform.add_machine(kApp, no_meter);
  json other = mediator("bb07", "started", "m-4");
  other["name"] = "worker-bb07";
  platform.add_machine(kApp, other);
  json unconfigured = mediator("aa08", "started", "m-4");
  unconfigured["config"] = nullptr;
  platform.add_machine(kApp, unconfigured);

  FlyAdapter fly(options());
  const std::vector<Meter> meters{meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3"),
                                  meter("m-4", "S4")};
  const Plan plan = fleet::plan(fly, meters);
  EXPECT_THAT(described(plan),
              ElementsAre("ok m-1 aa01", "start m-2 aa02", "update m-3 aa03 port", "create m-4 -",
                          "orphan m-9 aa04", "duplicate m-1 aa05", "orphan  aa06"));
  EXPECT_EQ(plan.summary().orphan, 2U);
  EXPECT_FALSE(plan.in_step());
  EXPECT_EQ(platform.requests().size(), 1U);

  // The image counts only when one is asked for; the meter's values always do.
  const json listed = list_mediators(fly);
  Meter moved = meter("m-1", "S1");
  moved.ip_address = "10.9.9.9";
  moved.cert_auth = true;
  EXPECT_THAT(
      described(make_plan(kApp, {moved}, listed, "registry.fly.io/mediator:8")),
      ::testing::Contains("update m-1 aa01 ip_address METER_IP_ADDRESS USE_CERT_AUTH image"));
  EXPECT_THAT(described(make_plan(kApp, {meter("m-1", "S1")}, listed, kImage)),
              ::testing::Contains("ok m-1 aa01"));
}

TEST_F(FleetTest, ApplyBringsTheFleetInStepAndASecondApplySendsOnlyTheListing) {
  platform.add_machine(kApp, mediator("aa02", "stopped", "m-2"));
  platform.add_machine(kApp, mediator("aa03", "started", "m-3", 7000));
  platform.add_machine(kApp, mediator("aa04", "started", "m-9"));
  platform.add_machine(kApp, mediator("aa05", "started", "m-3"));
  FlyAdapter fly(options());
  const std::vector<Meter> meters{meter("m-2", "S2"), meter("m-3", "S3"), meter("m-4", "S4")};

  // Without --prune duplicates and orphans are only reported.
  Report report = apply(fly, fleet::plan(fly, meters), apply_options(4, false));
  EXPECT_THAT(described(report), ElementsAre("start m-2: ok", "update m-3: ok", "create m-4: ok",
                                             "orphan m-9: skipped (kept (no --prune))",
                                             "duplicate m-3: skipped (kept (no --prune))"));
  EXPECT_TRUE(platform.machine(kApp, "aa04").has_value());

  EXPECT_EQ(platform.machine(kApp, "aa02")->at("state"), "started");
  const json updated = *platform.machine(kApp, "aa03");
  EXPECT_EQ(updated["config"]["services"][0]["ports"][0]["port"], 50051);
  EXPECT_EQ(updated["config"]["services"][0]["internal_port"], 50051);
  EXPECT_EQ(updated["config"]["init"], json({{"cmd", {"/mediator"}}})) << "config kept whole";
  EXPECT_EQ(updated["config"]["guest"]["memory_mb"], 256);
  EXPECT_NE(updated["instance_id"], mediator("aa03", "started", "m-3")["instance_id"]);

  report = apply(fly, fleet::plan(fly, meters), apply_options(2, true));
  EXPECT_THAT(described(report), ElementsAre("ok m-2: ok", "ok m-3: ok", "ok m-4: ok",
                                             "orphan m-9: ok", "duplicate m-3: ok"));
  EXPECT_FALSE(platform.machine(kApp, "aa04").has_value());
  EXPECT_FALSE(platform.machine(kApp, "aa05").has_value());

  platform.clear_requests();
  const Plan again = fleet::plan(fly, meters);
  EXPECT_TRUE(again.in_step());
  report = apply(fly, again, apply_options(4, true));
  EXPECT_EQ(report.count(Outcome::kOk), 3U);
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));
}

TEST_F(FleetTest, UpdateSendsTheListedVersionAndACreateIsTheAdaptersCreate) {
  platform.add_machine(kApp, mediator("aa03", "started", "m-3", 7000));
  FlyAdapter fly(options());
  const std::string listed_version = mediator("aa03", "started", "m-3")["instance_id"];
  fly.create({.cmd = "/mediator",
              .meter_id = "m-4",
              .serial = "S4",
              .ip_address = "10.1.2.3",
              .port = 50051,
              .skip_confirm = true});
  const std::string adapter_body = platform.requests().back().body;
  const std::string created = platform.machines(kApp)[1]["id"];
  fly.api().destroy(kApp, created, true, "");
  platform.clear_requests();

  const Report report =
      apply(fly, fleet::plan(fly, {meter("m-3", "S3"), meter("m-4", "S4")}), apply_options(1));
  EXPECT_THAT(described(report), ElementsAre("update m-3: ok", "create m-4: ok"));
  std::vector<std::string> bodies;
  for (const auto& r : platform.requests()) {
    if (r.method == "POST" && r.path == machine_path("aa03")) {
      EXPECT_EQ(json::parse(r.body)["current_version"], listed_version);
    }
    if (r.method == "POST" && r.path == std::string("/v1/apps/") + kApp + "/machines") {
      bodies.push_back(r.body);
    }
  }
  EXPECT_THAT(bodies, ElementsAre(adapter_body));
}

TEST_F(FleetTest, AfterTheFirstFailedUpdateNoUpdateStartsButOtherActionsGoOn) {
  platform.add_machine(kApp, mediator("aa01", "started", "m-1", 7000));
  platform.add_machine(kApp, mediator("aa02", "started", "m-2", 7000));
  platform.add_machine(kApp, mediator("aa03", "stopped", "m-3"));
  inject_answer("POST", "/machines/aa01", 409, R"({"error":"conflict: machine is leased"})");
  FlyAdapter fly(options());
  const std::vector<Meter> meters{meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3"),
                                  meter("m-4", "S4")};

  const Report report = apply(fly, fleet::plan(fly, meters), apply_options(1));
  EXPECT_THAT(described(report),
              ElementsAre("update m-1: failed (update refused: conflict: machine is leased)",
                          "update m-2: skipped (an earlier update failed)", "start m-3: ok",
                          "create m-4: ok"));
  EXPECT_EQ(count_requests("POST", "/machines/aa02"), 0U);
}

TEST_F(FleetTest, AMachineChangedSinceTheListingIsRefusedNotOverwritten) {
  platform.add_machine(kApp, mediator("aa01", "started", "m-1", 7000));
  FlyAdapter fly(options());
  const Plan plan = fleet::plan(fly, {meter("m-1", "S1")});
  // Someone else updates it in between; the platform refuses a stale version too.
  const json other = fly.api().update(kApp, "aa01", {{"image", "other:1"}}, "");
  ASSERT_FALSE(other.contains("error"));
  EXPECT_TRUE(fly.api().update(kApp, "aa01", {{"image", "x:1"}}, "01STALE").contains("error"));

  const Report report = apply(fly, plan, apply_options(1));
  EXPECT_THAT(described(report),
              ElementsAre("update m-1: failed (machine changed since it was listed)"));
  EXPECT_EQ(platform.machine(kApp, "aa01")->at("config")["image"], "other:1");
}

TEST_F(FleetTest, AThrottledRequestPausesEveryWorkerForItsRetryAfter) {
  std::vector<Meter> meters;
  for (int i = 0; i < 12; ++i)
    meters.push_back(meter("m-" + std::to_string(i), "S" + std::to_string(i)));
  FlyAdapter fly(options());
  const Plan plan = fleet::plan(fly, meters);
  fake_fly::InjectedFailure throttle;
  throttle.method = "POST";
  throttle.status = 429;
  throttle.retry_after_seconds = 1;
  throttle.body = R"({"error":"rate limited"})";
  platform.inject(throttle);
  platform.clear_requests();

  ApplyOptions o = apply_options(4);
  o.client.max_retries = 2;
  o.client.max_backoff = 5000ms;
  const auto started = std::chrono::steady_clock::now();
  const Report report = apply(fly, plan, o);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 950ms);
  EXPECT_EQ(report.count(Outcome::kOk), 12U);

  const auto requests = platform.requests();
  ASSERT_FALSE(requests.empty());
  const auto throttled_at = requests.front().received;
  std::size_t during_pause = 0;
  for (std::size_t i = 1; i < requests.size(); ++i) {
    if (requests[i].received < throttled_at + 900ms) ++during_pause;
  }
  // Only requests already on their way when the 429 came may arrive during the pause.
  EXPECT_LE(during_pause, 3U);
  EXPECT_EQ(requests.size(), 13U);
}

TEST_F(FleetTest, AnInterruptStartsNothingNewAndReportsTheRest) {
  FlyAdapter fly(options());
  const Plan plan = fleet::plan(fly, {meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3")});
  std::atomic<bool> interrupted{false};
  ApplyOptions o = apply_options(1);
  o.interrupted = &interrupted;
  std::vector<std::size_t> done;
  o.progress = [&](const Progress& p) {
    done.push_back(p.done);
    EXPECT_EQ(p.total, 3U);
    interrupted = true;
  };
  const Report report = apply(fly, plan, o);
  EXPECT_TRUE(report.interrupted);
  EXPECT_THAT(described(report), ElementsAre("create m-1: ok", "create m-2: skipped (interrupted)",
                                             "create m-3: skipped (interrupted)"));
  EXPECT_THAT(done, ElementsAre(1U, 2U, 3U));
  EXPECT_EQ(count_requests("POST", "/machines"), 1U);
}

TEST_F(FleetTest, AFailedListingIsAnErrorNotAnEmptyFleet) {
  auto o = options();
  o.api_token = "wrong-token";
  FlyAdapter fly(o);
  try {
    (void)fleet::plan(fly, {meter("m-1", "S1")});
    FAIL() << "expected an error";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("token validation error"));
  }
  EXPECT_THROW(addresses(fly), std::runtime_error);

  FlyAdapter no_image([&] {
    auto options_without_image = options();
    options_without_image.image = "";
    return options_without_image;
  }());
  const Plan creates = fleet::plan(no_image, {meter("m-1", "S1")});
  EXPECT_THROW(apply(no_image, creates, apply_options()), std::invalid_argument);
  ApplyOptions no_cmd = apply_options();
  no_cmd.cmd.reset();
  EXPECT_THROW(
      apply(fly, make_plan(kApp, {meter("m-1", "S1")}, json::array(), std::nullopt), no_cmd),
      std::invalid_argument);
}

TEST_F(FleetTest, AddressesComeFromOneListingAndOneLookUp) {
  dns.add_record({std::string(kApp) + ".flycast", "AAAA", "fdaa:0:18::2"});
  dns.add_record({std::string(kApp) + ".fly.dev", "A", "203.0.113.7"});
  platform.add_machine(kApp, mediator("aa01", "started", "m-1", 7001));
  platform.add_machine(kApp, mediator("aa02", "stopped", "m-2", 7002));
  platform.add_machine(kApp, mediator("aa03", "started", "m-1", 7003));
  auto addresses_text = [](const std::vector<MeterAddress>& found) {
    std::vector<std::string> lines;
    for (const auto& m : found) lines.push_back(m.meter_id + " " + m.machine_id + " " + m.address);
    return lines;
  };

  FlyAdapter fly(options());
  EXPECT_THAT(addresses_text(addresses(fly)),
              ElementsAre("m-1 aa01 [fdaa:0:18::2]:7001", "m-2 aa02 [fdaa:0:18::2]:7002"));
  EXPECT_EQ(dns.query_count(fake_fly::DnsTransport::kUdp), 1U);
  EXPECT_EQ(platform.requests().size(), 1U);

  auto public_options = options();
  public_options.use_private_address = false;
  FlyAdapter public_fly(public_options);
  EXPECT_THAT(addresses_text(addresses(public_fly)),
              ElementsAre("m-1 aa01 203.0.113.7:50051", "m-2 aa02 203.0.113.7:50051"));

  auto lost = options();
  lost.app_name = "meters-without-dns";
  platform.add_machine("meters-without-dns", mediator("cc01", "started", "m-1"));
  FlyAdapter lost_fly(lost);
  EXPECT_THROW(addresses(lost_fly), adapter::vostrel::ProcessExit);
  EXPECT_THAT(exits, ElementsAre(10));
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
