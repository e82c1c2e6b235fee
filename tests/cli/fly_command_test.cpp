#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/cli_runner.hpp"
#include "cli/fake_fly_cli.hpp"
#include "fake_dns.hpp"
#include "fake_platform.hpp"
#include "quelmar/util/logging.hpp"
#include "support/log_capture.hpp"

namespace {

using quelmar::cli::testing::run_cli;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

constexpr const char* kToken = "secret-token-4711";

class FlyCli : public quelmar::cli::testing::FakeFlyCli {
 protected:
  FlyCli() : FakeFlyCli(kToken) {}

  std::string create_meter(const std::string& meter, const std::string& serial, int port) {
    const auto r = fly({"create", "--cmd", "/mediator", "--meter-id", meter, "--serial", serial,
                        "--ip-address", "10.1.2.3", "--port", std::to_string(port), "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(0, r.out.size() - 1);
  }

  quelmar::util::logging::ScopedLogLevel quiet_{quelmar::util::logging::Level::kOff};
};

TEST_F(FlyCli, CreateListAndDestroyRoundTrip) {
  auto r = fly({"list", "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[]\n");

  const std::string id = create_meter("m-1", "SER1", 8080);
  r = fly({"list", "--json", "--meter-id", "m-1"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto list = nlohmann::json::parse(r.out);
  ASSERT_EQ(list.size(), 1U);
  EXPECT_EQ(list[0]["id"], id);
  EXPECT_EQ(list[0]["name"], "mediator-SER1");
  EXPECT_EQ(list[0]["image"], "registry.example/mediator:1");
  EXPECT_EQ(list[0]["port"], 8080);
  EXPECT_EQ(list[0]["metadata"]["meter_id"], "m-1");
  EXPECT_EQ(list[0]["status"], "started");

  r = fly({"list", "--meter-id", "other", "--json"});
  EXPECT_EQ(r.out, "[]\n");
  r = fly({"list"});
  EXPECT_THAT(r.out, HasSubstr("mediator-SER1"));
  EXPECT_THAT(r.out, EndsWith("1 machine\n"));

  EXPECT_EQ(fly({"stop", id}).out, "");
  r = fly({"destroy", id});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, StartsWith("stop_rsp [" + id + "]: "));
  EXPECT_THAT(r.out, HasSubstr("\nwait_rsp [" + id + "]: "));
  EXPECT_THAT(r.out, HasSubstr("\ndestroy_rsp [" + id + "]: "));
  // The machine is gone: the platform refuses a second destroy, and the CLI says so.
  r = fly({"destroy", id, "--force"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, StartsWith("destroy_rsp [" + id + "]: {\"error\""));
}

TEST_F(FlyCli, CreateAsksForConfirmation) {
  const std::vector<std::string> create{"create",   "--cmd",    "/mediator", "--meter-id",
                                        "m-2",      "--serial", "SER2",      "--ip-address",
                                        "10.0.0.2", "--port",   "5000"};
  auto r = fly(create, "n\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("Create machine with these details (y/n): "));
  EXPECT_THAT(r.out, EndsWith("\naborting ...\n\n"));
  EXPECT_EQ(platform_.machines("meters").size(), 0U);

  r = fly(create, "y\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(platform_.machines("meters").size(), 1U);
  // A piped answer does not end the prompt line; the id still stands alone on the last one.
  EXPECT_THAT(r.out, EndsWith("(y/n): \n" +
                              platform_.machines("meters")[0]["id"].get<std::string>() + "\n"));

  // End of input at the prompt creates nothing and is an error.
  r = fly(create, "");
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, StartsWith("quelmar: "));
  EXPECT_EQ(platform_.machines("meters").size(), 1U);
}

TEST_F(FlyCli, PlatformRefusalOfCreateExitsOne) {
  platform_.inject({.method = "POST",
                    .path_contains = "/machines",
                    .status = 422,
                    .body = R"({"error":"app is full"})"});
  const auto r = fly({"create", "--cmd", "c", "--meter-id", "m", "--serial", "S", "--ip-address",
                      "10.0.0.1", "--port", "80", "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, IsEmpty());
}

TEST_F(FlyCli, AddressesByMode) {
  create_meter("m-1", "SER1", 8080);
  // Private by default, with the machine's port; adapter options may follow the command.
  auto r = fly({"address", "m-1"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "[" + quelmar::fake_fly::fly_app_flycast_address(0) + "]:8080\n");
  r = fly({"address", "m-1", "--single-meter", "--serial", "SER1", "--private"});
  EXPECT_EQ(r.out, "[" + quelmar::fake_fly::fly_app_flycast_address(0) + "]:44444\n");
  r = fly({"address", "m-1", "--public"});
  EXPECT_EQ(r.out, quelmar::fake_fly::fly_app_public_address(0) + ":50051\n");

  // Only the address goes to stdout, so that `addr=$(quelmar fly address ...)` is safe.
  r = fly({"address", "nobody"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "quelmar: no match for meters with id nobody\n");
}

TEST_F(FlyCli, FailedLookUpsEndWithTheirStatus) {
  create_meter("m-1", "SER1", 8080);
  dns_.set_fault(quelmar::fake_fly::DnsFault::kServFail);
  auto r = fly({"address", "m-1"});
  EXPECT_EQ(r.status, 10);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err,
              StartsWith("quelmar: cannot resolve the private (flycast) address of meters: "));
  EXPECT_THAT(r.err, EndsWith("(has the WireGuard tunnel been started?)\n"));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  r = fly({"address", "m-1", "--public"});
  EXPECT_EQ(r.status, 11);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, StartsWith("quelmar: cannot resolve the public address of meters: "));
  r = fly({"addresses"});
  EXPECT_EQ(r.status, 10);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err,
              StartsWith("quelmar: cannot resolve the private (flycast) address of meters: "));
}

TEST_F(FlyCli, OperatorErrorsExitTwo) {
  // No token anywhere.
  auto r = run_cli({"fly", "--app", "meters", "--api-url", platform_.base_url(), "list"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "quelmar: no API token: set FLY_API_TOKEN or pass --token-file FILE or --token -\n");
  // A wrong token: the listing could not be made, which is no empty list.
  r = run_cli({"--log-level", "off", "fly", "--app", "meters", "--api-url", platform_.base_url(),
               "--token", "wrong-token-123", "list", "--json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, StartsWith("quelmar: cannot list the machines: "));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_THAT(r.out + r.err, Not(HasSubstr("wrong-token-123")));
  // create without an image.
  r = run_cli({"fly", "--app", "meters", "--token", kToken, "create", "--cmd", "c", "--meter-id",
               "m", "--serial", "S", "--ip-address", "1.2.3.4", "--port", "80", "--yes"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: create needs --image\n");
  // Unknown state, missing --app.
  EXPECT_EQ(fly({"list", "--state", "running"}).status, 2);
  EXPECT_EQ(run_cli({"fly", "--token", kToken, "list"}).status, 2);
  // A single-meter app without a serial.
  r = fly({"list", "--single-meter"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: FlyAdapter needs a serial to work with a single meter app\n");
}

TEST_F(FlyCli, UnreachablePlatformIsOneMessage) {
  const std::string url = platform_.base_url();
  platform_.stop();
  const auto r =
      run_cli({"fly", "--app", "meters", "--api-url", url, "--token", kToken, "start", "abc"});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, StartsWith("quelmar: "));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_THAT(r.err, Not(HasSubstr(kToken)));
}

// A complete machine record as the platform lists it.
nlohmann::json machine(const std::string& id, const std::string& name, const std::string& state) {
  return {{"id", id},
          {"name", name},
          {"state", state},
          {"region", "iad"},
          {"instance_id", "01HEPA" + id},
          {"config",
           {{"image", "img:1"},
            {"metadata", {{"meter_id", "m-" + id}}},
            {"services", {{{"ports", {{{"port", 8080}}}}}}}}}};
}

TEST_F(FlyCli, StartAndStopWaitUntilTheMachineGetsThere) {
  const std::string id = create_meter("m-1", "SER1", 8080);
  const std::string version = platform_.machine("meters", id)->at("instance_id");
  platform_.clear_requests();
  auto r = fly({"stop", id, "--wait"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  std::vector<std::string> sent;
  for (const auto& request : platform_.requests()) {
    sent.push_back(request.method + " " + request.path.substr(request.path.rfind('/')));
  }
  EXPECT_EQ(sent, (std::vector<std::string>{"POST /stop", "GET /" + id, "GET /wait"}));
  EXPECT_EQ(platform_.requests().back().query.at("state"), "stopped");
  EXPECT_EQ(platform_.requests().back().query.at("instance_id"), version);
  EXPECT_EQ(platform_.machine("meters", id)->at("state"), "stopped");
  r = fly({"start", id, "--wait"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(platform_.requests().back().query.at("state"), "started");

  // How the wait ends decides the exit status: the wait running out (408 each of the 5 times
  // the default budget sends it), another state, or no answer.
  const struct {
    std::string verb;
    int status;
    std::string body;
    int times;
    int exit;
    std::string err;
  } cases[] = {
      {"start", 408, R"({"error":"deadline_exceeded"})", 5, 1,
       "quelmar: machine " + id + " did not become started: deadline_exceeded\n"},
      {"stop", 408, R"({"error":"deadline_exceeded"})", 5, 1,
       "quelmar: machine " + id + " did not become stopped: deadline_exceeded\n"},
      {"start", 200, R"({"ok":true,"state":"stopped"})", 1, 1,
       "quelmar: machine " + id + " did not become started: the machine is stopped, not started\n"},
      {"stop", 404, R"({"error":"machine not found"})", 1, 1,
       "quelmar: machine " + id + " did not become stopped: machine not found\n"},
      {"start", 200, "{oops", 1, 2, "quelmar: cannot wait for " + id},
  };
  for (const auto& c : cases) {
    platform_.inject({.method = "GET",
                      .path_contains = "/wait",
                      .times = c.times,
                      .status = c.status,
                      .body = c.body});
    r = fly({c.verb, id, "--wait"});
    EXPECT_EQ(r.status, c.exit) << c.verb << " " << c.body;
    EXPECT_THAT(r.err, StartsWith(c.err)) << c.verb << " " << c.body;
  }
  EXPECT_EQ(fly({"start", id, "--wait"}).status, 0) << "every injected answer was used";
}

TEST_F(FlyCli, RefusedLifecycleActionsExitOneWithTheReason) {
  for (const std::string action : {"start", "stop", "destroy"}) {
    const auto r = fly({action, "no-such-machine"});
    EXPECT_EQ(r.status, 1) << action;
    EXPECT_EQ(r.err, "quelmar: no machine no-such-machine in app meters\n") << action;
  }
  const std::string id = create_meter("m-1", "SER1", 8080);
  EXPECT_EQ(fly({"stop", id}).status, 0);
  EXPECT_EQ(fly({"start", id}).status, 0);

  // One rule for every answer: a 2xx {"ok": false} or a 4xx is a refusal (exit 1); a redirect
  // or a malformed 2xx is no answer (exit 2), as is a 5xx (the client's tests show its verdict;
  // here its retries would sleep for real).
  struct Answer {
    int status;
    std::string body;
    int exit;
  };
  for (const std::string action : {"start", "stop"}) {
    for (const Answer& a :
         {Answer{200, R"({"ok":false})", 1}, Answer{409, R"({"error":"busy"})", 1},
          Answer{302, "", 2}, Answer{200, "{oops", 2}}) {
      platform_.inject({.method = "POST",
                        .path_contains = "/" + action,
                        .times = 1,
                        .status = a.status,
                        .body = a.body});
      const auto r = fly({action, id});
      EXPECT_EQ(r.status, a.exit) << action << " " << a.status << " " << a.body;
      EXPECT_EQ(r.out, "");
      EXPECT_THAT(r.err, StartsWith(a.exit == 1 ? "quelmar: the platform refused to " + action
                                                : "quelmar: cannot " + action));
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }

  // {"ok": false} is a refusal too, though it came with a success status.
  platform_.inject({.method = "DELETE",
                    .path_contains = "/machines/",
                    .status = 200,
                    .body = R"({"ok":false})"});
  const auto r = fly({"destroy", id, "--force"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "destroy_rsp [" + id + "]: {\"ok\":false}\n");
  EXPECT_THAT(r.err, StartsWith("quelmar: the platform refused to destroy " + id));
}

TEST_F(FlyCli, AFailedListingIsNeitherAnEmptyListNorNoMatch) {
  create_meter("m-1", "SER1", 8080);
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"list"}, std::vector<std::string>{"list", "--json"},
        std::vector<std::string>{"address", "m-1"}}) {
    platform_.inject({.method = "GET",
                      .path_contains = "/machines",
                      .status = 404,
                      .body = R"({"error":"app not found"})"});
    const auto r = fly(command);
    EXPECT_EQ(r.status, 2) << command.front();
    EXPECT_EQ(r.out, "") << command.front();
    EXPECT_EQ(r.err, "quelmar: cannot list the machines: app not found\n");
  }
}

TEST_F(FlyCli, UsageErrorsAreOneLineAndNeverShowTheToken) {
  const std::vector<std::vector<std::string>> usage_errors{
      {"fly", "--app", "meters", "frobnicate"},                          // unknown command
      {"fly", "list"},                                                   // missing option
      {"fly", "--app", "meters", "list", "--state", "running"},          // bad value
      {"fly", "--app", "meters", "list", "extra"},                       // unexpected argument
      {"--token", "misplaced-T0KEN", "fly", "--app", "meters", "list"},  // misplaced token
      {"fly", "--app", "meters", "list", "--meter-id"},                  // missing value
      {"fly", "--app", "meters", "--token", "FlyV1 part-0ne,part-tw0", "list", "part-tw0"},
      {"fly", "--app", "meters", "list", "env-t0ken-value"},  // the env's token
      {"nothing"}};
  for (const auto& args : usage_errors) {
    const auto r = run_cli(args, "", {{"FLY_API_TOKEN", "env-t0ken-value"}});
    const std::string shown = args.empty() ? "(none)" : args.back();
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_THAT(r.err, StartsWith("quelmar: ")) << shown;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const char* secret : {"misplaced-T0KEN", "part-0ne", "part-tw0", "env-t0ken-value"}) {
      EXPECT_THAT(r.err, Not(HasSubstr(secret))) << r.err;
    }
  }
  auto r = run_cli({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("fly"));
  r = run_cli({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, MatchesRegex("quelmar [0-9]+\\.[0-9]+\\.[0-9]+(~git[0-9]{8}\\.[0-9a-f]+)?"
                                  "( \\(git [^ ]+\\))?\n"));
  r = run_cli({"fly", "create", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("--port"));
}

TEST_F(FlyCli, AnUnexpectedWordIsNotShownEvenWhenItIsAShortToken) {
  for (const char* word : {"extra", "x"}) {
    const auto r = run_cli({"fly", "--app", "meters", "--token", "x", "list", word});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "quelmar: argument 7 was not expected\n");
  }
}

TEST_F(FlyCli, CreateRefusesBadPortsAndAddressesBeforeAnyRequest) {
  const auto create = [this](const std::string& ip, const std::optional<std::string>& port) {
    std::vector<std::string> args{"create", "--cmd",        "c", "--meter-id", "m", "--serial",
                                  "S",      "--ip-address", ip,  "--yes"};
    if (port) args.insert(args.end(), {"--port", *port});
    return fly(args);
  };
  for (const char* port : {"0", "65536", "0x50", "+80", "80.5", "1e3", "-5", "eighty", ""}) {
    const auto r = create("10.0.0.1", port);
    EXPECT_EQ(r.status, 2) << port;
    EXPECT_THAT(r.err, StartsWith("quelmar: ")) << port;
  }
  EXPECT_EQ(create("10.0.0.1", std::nullopt).status, 2);
  for (const char* ip : {"10.0.0", "10.0.0.256", "example.org", "fe80::1%eth0", ""}) {
    EXPECT_EQ(create(ip, "80").status, 2) << ip;
  }
  EXPECT_TRUE(platform_.requests().empty());
  EXPECT_EQ(create("2001:db8::7", "65535").status, 0);
  EXPECT_EQ(platform_.machines("meters").at(0)["config"]["services"][0]["ports"][0]["port"], 65535);
}

TEST_F(FlyCli, StateFilterTakesTheSevenStatesByTheirListedNames) {
  create_meter("m-1", "SER1", 8080);
  for (const char* state : {"created", "starting", "stopping", "stopped", "removing", "failed"}) {
    const auto r = fly({"list", "--state", state, "--json"});
    EXPECT_EQ(r.status, 0) << state << ": " << r.err;
    EXPECT_EQ(r.out, "[]\n") << state;
  }
  const auto r = fly({"list", "--state", "started", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out).at(0).at("status"), "started");
}

TEST_F(FlyCli, AMachineInAnUnknownStateShowsThePlatformsText) {
  platform_.add_machine("meters", machine("s1", "mediator-S1", "suspended"));
  platform_.add_machine("meters", machine("s2", "mediator-S2", "started"));
  auto r = fly({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("mediator-S1             suspended "));
  EXPECT_THAT(r.out, HasSubstr("mediator-S2             started "));
  r = fly({"list", "--json"});
  const auto list = nlohmann::json::parse(r.out);
  EXPECT_EQ(list.at(0)["status"], "unknown");
  EXPECT_EQ(list.at(1)["status"], "started");
  EXPECT_EQ(fly({"list", "--state", "unknown"}).status, 2);
  r = fly({"address", "m-s1"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(FlyCli, PlatformTextCannotDriveTheTerminal) {
  platform_.add_machine("meters",
                        machine("e1", "mediator-\x1b]0;owned\x07\nforged 1 machine", "\x1b[2J"));
  auto r = fly({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
  EXPECT_THAT(r.out, HasSubstr("mediator-\\x1b]0;owned\\x07\\x0aforged 1 machine"));
  // JSON stays JSON and keeps the text.
  r = fly({"list", "--json"});
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  EXPECT_EQ(nlohmann::json::parse(r.out).at(0)["name"],
            "mediator-\x1b]0;owned\x07\nforged 1 machine");
  // The operator's own arguments are echoed escaped too.
  r = fly({"address", "no\x1b[2Jbody"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quelmar: no match for meters with id no\\x1b[2Jbody\n");
}

}  // namespace
