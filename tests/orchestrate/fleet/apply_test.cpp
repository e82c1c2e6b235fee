// Applying plans: what is sent, in which order, and what stops it.
#include <atomic>
#include <thread>

#include "orchestrate/fleet/fleet_fixture.hpp"

namespace quelmar::orchestrate::fleet::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

ApplyOptions apply_options(int parallel = 4) { return {.parallel = parallel}; }

TEST_F(FleetTest, ApplyBringsTheFleetInStepAndASecondApplySendsOnlyTheListing) {
  platform.add_machine(kApp, mediator("aa02", "stopped", "m-2"));
  platform.add_machine(kApp, mediator("aa03", "started", "m-3", 7000));
  platform.add_machine(kApp, mediator("aa04", "started", "m-9", 50051, "ams"));
  platform.add_machine(kApp, mediator("aa05", "started", "m-3"));
  Machines fly(core_options(options()));
  const std::vector<Meter> meters{meter("m-2", "S2"), meter("m-3", "S3"), meter("m-4", "S4")};

  // Without pruning duplicates and orphans are kept, which is no failure.
  Report report = apply(fly, fleet::plan(fly, meters, plan_options(false)), apply_options());
  EXPECT_THAT(described(report),
              ElementsAre("start m-2: ok", "update m-3: ok", "create m-4: ok",
                          "orphan m-9: kept (no --prune)", "duplicate m-3: kept (no --prune)"));
  EXPECT_EQ(report.count(Outcome::kKept), 2U);
  EXPECT_TRUE(platform.machine(kApp, "aa04").has_value());
  EXPECT_EQ(platform.machine(kApp, "aa02")->at("state"), "started");
  const json updated = *platform.machine(kApp, "aa03");
  EXPECT_EQ(updated["config"]["services"][0]["ports"][0]["port"], 50051);
  EXPECT_EQ(updated["config"]["services"][0]["internal_port"], 50051);
  EXPECT_EQ(updated["config"]["init"], json({{"cmd", {"/mediator"}}})) << "config kept whole";
  EXPECT_EQ(updated["config"]["guest"]["memory_mb"], 256);
  EXPECT_EQ(platform.machines(kApp)[4]["region"], "iad") << "created in the adapter's region";

  report = apply(fly, fleet::plan(fly, meters, plan_options(true)), apply_options(2));
  EXPECT_THAT(described(report), ElementsAre("ok m-2: ok", "ok m-3: ok", "ok m-4: ok",
                                             "orphan m-9: ok", "duplicate m-3: ok"));
  EXPECT_FALSE(platform.machine(kApp, "aa04").has_value());
  EXPECT_FALSE(platform.machine(kApp, "aa05").has_value());

  platform.clear_requests();
  const Plan again = fleet::plan(fly, meters, plan_options(true));
  EXPECT_TRUE(again.in_step());
  report = apply(fly, again, apply_options());
  EXPECT_EQ(report.count(Outcome::kOk), 3U);
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));
}

// The token is data wherever a config holds it: an update sends it back untouched.
void expect_update_keeps_the_token_in_the_config(const std::string& token) {
  fake_fly::FakePlatform own({.token = token, .apps = {kApp}});
  json machine = mediator("aa01", "started", "m-1");
  machine["config"]["init"]["cmd"] = {"/" + token};
  machine["config"]["env"]["DB"] = "postgres://user:" + token + "@db/x";
  machine["config"]["metadata"]["note"] = token;
  machine["config"]["metadata"]["ip_address"] = "10.0.0.1";
  own.add_machine(kApp, machine);
  Machines fly(
      {.api_token = token,
       .image = kImage,
       .app_name = kApp,
       .client = {.base_url = own.base_url(), .wait_timeout_seconds = 2, .max_retries = 0}});

  const Plan plan = fleet::plan(fly, {meter("m-1", "S1")});
  ASSERT_EQ(plan.actions.at(0).kind, ActionKind::kUpdate);
  EXPECT_THAT(described(apply(fly, plan, {})), ElementsAre("update m-1: ok"));
  json expected = machine["config"];
  expected["metadata"]["ip_address"] = "10.1.2.3";
  EXPECT_EQ(own.machine(kApp, "aa01")->at("config"), expected) << token;
}

TEST(FleetUpdate, SendsTheConfigExactlyAsReadWithTheTokenInIt) {
  expect_update_keeps_the_token_in_the_config("tok-5ecret-never-printed");
  expect_update_keeps_the_token_in_the_config("demo");
}

TEST_F(FleetTest, UpdateSendsTheListedVersionAndACreateIsTheAdaptersCreate) {
  platform.add_machine(kApp, mediator("aa03", "started", "m-3", 7000));
  // The adapter's own create, to compare apply's body with.
  adapter::vostrel::FlyAdapter fly(options());
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
      apply(fly, fleet::plan(fly, {meter("m-3", "S3"), meter("m-4", "S4")}, plan_options()),
            apply_options(1));
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

TEST_F(FleetTest, TheFirstUpdateIsACanaryThatMustStartAgainBeforeAnyOther) {
  for (const char* id : {"aa01", "aa02", "aa03"}) {
    platform.add_machine(kApp, mediator(id, "started", std::string("m-") + id[3], 7000));
  }
  Machines fly(core_options(options()));
  const std::vector<Meter> meters{meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3")};

  EXPECT_EQ(apply(fly, fleet::plan(fly, meters), apply_options(4)).count(Outcome::kOk), 3U);
  const auto lines = request_lines();
  const auto at = [&lines](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  const auto canary_waited = at("GET " + machine_path("aa01") + "/wait");
  EXPECT_LT(at("POST " + machine_path("aa01")), canary_waited);
  EXPECT_LT(canary_waited, at("POST " + machine_path("aa02")));
  EXPECT_LT(canary_waited, at("POST " + machine_path("aa03")));
}

TEST_F(FleetTest, ACanaryThatDoesNotStartAgainStopsEveryOtherUpdate) {
  for (const char* id : {"aa01", "aa02"}) {
    platform.add_machine(kApp, mediator(id, "started", std::string("m-") + id[3], 7000));
  }
  platform.add_machine(kApp, mediator("aa03", "stopped", "m-3"));
  // Every wait for it times out, however often it is sent again.
  platform.inject({.method = "GET",
                   .path_contains = "/machines/aa01/wait",
                   .times = 1000,
                   .status = 408,
                   .body = R"({"error":"deadline_exceeded"})"});
  Machines fly(core_options(options()));
  const std::vector<Meter> meters{meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3")};

  const Report report = apply(fly, fleet::plan(fly, meters), apply_options(4));
  EXPECT_THAT(described(report),
              ElementsAre("update m-1: failed (machine did not start after the update: "
                          "deadline_exceeded)",
                          "update m-2: skipped (an earlier update failed)", "start m-3: ok"));
  EXPECT_EQ(count_requests("POST", "/machines/aa02"), 0U);
}

TEST_F(FleetTest, AfterTheFirstFailedUpdateNoUpdateStartsButOtherActionsGoOn) {
  platform.add_machine(kApp, mediator("aa01", "started", "m-1", 7000));
  platform.add_machine(kApp, mediator("aa02", "started", "m-2", 7000));
  platform.add_machine(kApp, mediator("aa03", "stopped", "m-3"));
  inject_answer("POST", "/machines/aa01", 409, R"({"error":"conflict: machine is leased"})");
  Machines fly(core_options(options()));
  const std::vector<Meter> meters{meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3"),
                                  meter("m-4", "S4")};

  const Report report = apply(fly, fleet::plan(fly, meters, plan_options()), apply_options(1));
  EXPECT_THAT(described(report),
              ElementsAre("update m-1: failed (update refused: conflict: machine is leased)",
                          "update m-2: skipped (an earlier update failed)", "start m-3: ok",
                          "create m-4: ok"));
  EXPECT_EQ(count_requests("POST", "/machines/aa02"), 0U);
}

TEST_F(FleetTest, ADuplicateIsDestroyedOnlyOnceItsPrimaryIsInStep) {
  platform.add_machine(kApp, mediator("aa01", "stopped", "m-1"));
  platform.add_machine(kApp, mediator("aa02", "stopped", "m-1", 50051, "ams"));
  platform.add_machine(kApp, mediator("aa09", "started", "m-9"));
  inject_answer("POST", "/machines/aa01/start", 422, R"({"error":"no capacity"})");
  Machines fly(core_options(options()));

  const Report report =
      apply(fly, fleet::plan(fly, {meter("m-1", "S1")}, plan_options(true)), apply_options());
  EXPECT_THAT(described(report),
              ElementsAre("start m-1: failed (start refused: no capacity)",
                          "duplicate m-1: skipped (primary not in step)", "orphan m-9: ok"));
  EXPECT_TRUE(platform.machine(kApp, "aa02").has_value());
  EXPECT_FALSE(platform.machine(kApp, "aa09").has_value());
  // A running orphan was stopped and seen stopped first; a stopped duplicate is not stopped.
  EXPECT_EQ(count_requests("POST", "/machines/aa09/stop"), 1U);
  EXPECT_EQ(count_requests("GET", "/machines/aa09/wait"), 1U);
}

TEST_F(FleetTest, APlanDestroyingMoreThanAllowedSendsNothing) {
  for (const char* id : {"aa01", "aa02", "aa03"}) {
    platform.add_machine(kApp, mediator(id, "started", std::string("m-9") + id[3]));
  }
  Machines fly(core_options(options()));
  const Plan plan = fleet::plan(fly, {meter("m-1", "S1")}, plan_options(true));
  platform.clear_requests();
  ApplyOptions o = apply_options();
  o.max_destroy = 2;
  try {
    apply(fly, plan, o);
    FAIL() << "expected the limit to refuse the plan";
  } catch (const DestroyLimitExceeded& e) {
    EXPECT_EQ(e.count(), 3U);
    EXPECT_EQ(e.limit(), 2U);
  }
  EXPECT_TRUE(platform.requests().empty());
  o.max_destroy = 3;
  EXPECT_EQ(apply(fly, plan, o).count(Outcome::kOk), 4U);
}

TEST_F(FleetTest, OneListingFindsEveryMachineOfASavedPlanThatMovedOn) {
  platform.add_machine(kApp, mediator("aa01", "started", "m-1"));
  platform.add_machine(kApp, mediator("aa02", "started", "m-1", 50051, "ams"));
  platform.add_machine(kApp, mediator("aa03", "stopped", "m-2", 7000));
  platform.add_machine(kApp, mediator("aa09", "started", "m-9"));
  Machines fly(core_options(options()));
  const std::vector<Meter> meters{meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3")};
  Plan plan = plan_from_json(plan_to_json(fleet::plan(fly, meters, plan_options(true))), kApp);
  EXPECT_TRUE(stale_machines(fly, plan).empty());

  // Meanwhile the primary of m-1 goes (its duplicate would be its last mediator), aa03 is
  // started, aa09's config is not the one the plan saw and m-3 gets a mediator.
  ASSERT_TRUE(fly.api().destroy_machine(kApp, "aa01", true).done());
  platform.set_state(kApp, "aa03", "started");
  for (auto& action : plan.actions) {
    if (action.machine && action.machine->id == "aa09") action.machine->config = "{}";
  }
  platform.add_machine(kApp, mediator("aa04", "started", "m-3"));
  platform.clear_requests();

  std::vector<std::string> found;
  for (const auto& m : stale_machines(fly, plan)) {
    found.push_back(m.machine_id + " " + m.meter_id + ": " + m.what);
  }
  EXPECT_THAT(found, ::testing::UnorderedElementsAre(
                         ::testing::StartsWith("aa01 m-1: "), "aa03 m-2: state stopped -> started",
                         "aa09 m-9: config changed",
                         "aa04 m-3: a new mediator of a meter the plan creates one for"));
  EXPECT_THAT(request_lines(), ElementsAre("GET /v1/apps/meters/machines"));

  // Actions with nothing to do are checked too: machines that do not exist are stale.
  Plan ghosts;
  ghosts.app = kApp;
  for (int i = 0; i < 3; ++i) {
    ghosts.actions.push_back({.kind = ActionKind::kOk,
                              .meter_id = "m-" + std::to_string(i),
                              .machine = Machine{.id = "zz" + std::to_string(i), .config = "{}"}});
  }
  EXPECT_EQ(stale_machines(fly, ghosts).size(), 3U);
}

TEST_F(FleetTest, AThrottledRequestPausesEveryWorkerOnTheGatesClock) {
  std::vector<Meter> meters;
  for (int i = 0; i < 12; ++i) {
    meters.push_back(meter("m-" + std::to_string(i), "S" + std::to_string(i)));
  }
  auto o = options();
  o.client.max_retries = 2;
  o.client.max_backoff = 5000ms;
  Machines fly(core_options(o));
  const Plan plan = fleet::plan(fly, meters, plan_options());
  fake_fly::InjectedFailure throttle;
  throttle.method = "POST";
  throttle.status = 429;
  throttle.retry_after_seconds = 1;
  platform.inject(throttle);
  platform.clear_requests();

  // Time moves only when the gate sleeps, so every pause is seen whole.
  std::mutex mutex;
  auto now = std::chrono::steady_clock::time_point{} + 100h;
  const auto start = now;
  std::vector<std::chrono::steady_clock::time_point> slept_until;
  ApplyOptions options = apply_options(4);
  options.clock = {.now =
                       [&] {
                         std::lock_guard lock(mutex);
                         return now;
                       },
                   .sleep_until =
                       [&](std::chrono::steady_clock::time_point until) {
                         std::lock_guard lock(mutex);
                         slept_until.push_back(until);
                         now = std::max(now, until);
                       }};
  const Report report = apply(fly, plan, options);
  EXPECT_EQ(report.count(Outcome::kOk), 12U);
  EXPECT_EQ(platform.requests().size(), 13U);
  ASSERT_FALSE(slept_until.empty());
  EXPECT_EQ(slept_until.front(), start + 1s) << "the pause that Retry-After asked for";
  EXPECT_EQ(now, start + 1s);
}

TEST_F(FleetTest, AStopStartsNothingNewAndASecondOneCancelsTheWaitsInFlight) {
  Machines fly(core_options(options()));
  const Plan plan = fleet::plan(fly, {meter("m-1", "S1"), meter("m-2", "S2"), meter("m-3", "S3")},
                                plan_options());
  std::atomic<int> stop{0};
  ApplyOptions o = apply_options(1);
  o.stop = &stop;
  std::vector<std::size_t> done;
  o.finished = [&](const Result&, const Progress& p) {
    done.push_back(p.done);
    EXPECT_EQ(p.total, 3U);
    stop = 1;
  };
  Report report = apply(fly, plan, o);
  EXPECT_TRUE(report.interrupted);
  EXPECT_THAT(described(report), ElementsAre("create m-1: ok", "create m-2: skipped (interrupted)",
                                             "create m-3: skipped (interrupted)"));
  EXPECT_THAT(done, ElementsAre(1U, 2U, 3U));
  EXPECT_EQ(count_requests("POST", "/machines"), 1U);

  // A wait the platform holds ends as soon as the second stop comes.
  platform.add_machine(kApp, mediator("aa05", "stopped", "m-5"));
  platform.inject({.path_contains = "/wait", .status = std::nullopt, .delay = 60s});
  stop = 0;
  ApplyOptions waiting = apply_options(1);
  waiting.stop = &stop;
  std::thread stopper([&] {
    while (count_requests("GET", "/machines/aa05/wait") == 0) std::this_thread::yield();
    stop = 2;
  });
  report = apply(fly, fleet::plan(fly, {meter("m-5", "S5")}, plan_options()), waiting);
  stopper.join();
  EXPECT_THAT(described(report), Contains("start m-5: failed (interrupted)"));
}

TEST_F(FleetTest, AddressesAreEachMetersPrimaryFromOneListingAndOneLookUp) {
  dns.add_record({std::string(kApp) + ".flycast", "AAAA", "fdaa:0:18::2"});
  dns.add_record({std::string(kApp) + ".fly.dev", "A", "203.0.113.7"});
  platform.add_machine(kApp, mediator("aa00", "destroyed", "m-1", 7000));
  platform.add_machine(kApp, mediator("aa01", "stopped", "m-1", 7001));
  platform.add_machine(kApp, mediator("aa02", "stopped", "m-2", 7002, "ams"));
  platform.add_machine(kApp, mediator("aa03", "started", "m-1", 7003, "syd"));
  auto addresses_text = [](const std::vector<MeterAddress>& found) {
    std::vector<std::string> lines;
    for (const auto& m : found) lines.push_back(m.meter_id + " " + m.machine_id + " " + m.address);
    return lines;
  };

  Machines fly(core_options(options()));
  EXPECT_THAT(addresses_text(addresses(fly)),
              ElementsAre("m-1 aa03 [fdaa:0:18::2]:7003", "m-2 aa02 [fdaa:0:18::2]:7002"));
  EXPECT_EQ(dns.query_count(fake_fly::DnsTransport::kUdp), 1U);
  EXPECT_EQ(platform.requests().size(), 1U);

  auto public_options = options();
  public_options.use_private_address = false;
  Machines public_fly(core_options(public_options));
  EXPECT_THAT(addresses_text(addresses(public_fly)),
              ElementsAre("m-1 aa03 203.0.113.7:50051", "m-2 aa02 203.0.113.7:50051"));

  // A failed look-up is an error for the caller; the library never ends the process.
  auto lost = options();
  lost.app_name = "meters-without-dns";
  platform.add_machine("meters-without-dns", mediator("cc01", "started", "m-1"));
  Machines lost_fly(core_options(lost));
  try {
    addresses(lost_fly);
    FAIL() << "expected the look-up to fail";
  } catch (const adapter::vostrel::LookupFailed& e) {
    EXPECT_EQ(e.exit_status(), 10);
    EXPECT_THAT(e.what(), HasSubstr("meters-without-dns"));
  }
  EXPECT_TRUE(exits.empty());
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet::testing
