// Creating a meter's machine through the confirmation dialogue, and starting,
// stopping and destroying machines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/param_names.hpp"
#include "vostrel_fixture.hpp"

namespace quelmar::orchestrate::adapter::vostrel::testing {
namespace {

using nlohmann::json;
using util::logging::CapturedLines;

class CreateTest : public VostrelTest {
 protected:
  std::vector<fake_fly::RecordedRequest> creates() const {
    std::vector<fake_fly::RecordedRequest> found;
    for (const auto& r : platform.requests()) {
      if (r.method == "POST" && r.path == std::string("/v1/apps/") + kApp + "/machines") {
        found.push_back(r);
      }
    }
    return found;
  }

  FlyAdapter adapter{options()};
};

TEST_F(CreateTest, ConfirmedCreationShowsTheDetailsAndSendsThem) {
  in.str("y\n");
  CapturedLines captured(*logger);

  const std::string id = adapter.create(kRequest);

  EXPECT_EQ(out.str(),
            "\nFly App:    meters"
            "\nRegion:     iad"
            "\nImage:      registry.fly.io/mediator:7"
            "\nName:       mediator-ABC123"
            "\nMetadata:   {\"ip_address\":\"10.9.8.7\",\"meter_id\":\"m-42\"}"
            "\n\nCreate machine with these details (y/n): ");
  ASSERT_EQ(creates().size(), 1U);
  const json body = json::parse(creates()[0].body);
  EXPECT_EQ(body["name"], "mediator-ABC123");
  EXPECT_EQ(body["region"], "iad");
  EXPECT_EQ(body["config"]["image"], kImage);
  EXPECT_EQ(body["config"]["init"]["cmd"], json::array({"/app/mediator"}));
  EXPECT_EQ(body["config"]["metadata"], adapter._metadata("m-42", "10.9.8.7"));
  EXPECT_EQ(body["config"]["env"], adapter._env_vars("10.9.8.7", false));
  ASSERT_TRUE(platform.machine(kApp, id).has_value());

  const auto lines = captured.lines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_TRUE(lines[0].starts_with("create machine response {")) << lines[0];
  EXPECT_NE(lines[0].find("\"id\":\"" + id + "\""), std::string::npos);
  EXPECT_EQ(lines[1], "created machine with id " + id + " machine_id=" + id);
  EXPECT_TRUE(exits.empty());
}

TEST_F(CreateTest, SkippingConfirmationReadsAndWritesNothing) {
  in.str("n\n");
  CreateRequest request = kRequest;
  request.skip_confirm = true;
  request.use_cert_auth = true;
  request.port = 7000;

  EXPECT_FALSE(adapter.create(request).empty());

  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(in.tellg(), 0);
  ASSERT_EQ(creates().size(), 1U);
  const json body = json::parse(creates()[0].body);
  EXPECT_EQ(body["config"]["env"]["USE_CERT_AUTH"], "true");
}

class RefusalTest : public CreateTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusalTest, AnythingButYAbortsWithStatusOneBeforeAnyRequest) {
  in.str(GetParam());
  try {
    adapter.create(kRequest);
    FAIL() << "created after answer '" << GetParam() << "'";
  } catch (const ProcessExit& e) {
    EXPECT_EQ(e.status(), 1);
  }
  EXPECT_EQ(exits, std::vector<int>{1});
  EXPECT_TRUE(out.str().ends_with("(y/n): \naborting ...\n\n")) << out.str();
  EXPECT_TRUE(platform.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, RefusalTest,
                         ::testing::Values("Y\n", "yes\n", " y\n", "\n", "n\n", "y \n", "y\r\n"),
                         [](const auto& info) { return quelmar::testing::param_name(info.param); });

TEST_F(CreateTest, EndOfInputAtThePromptIsAnErrorAndCreatesNothing) {
  in.str("");
  EXPECT_THROW(adapter.create(kRequest), std::runtime_error);
  EXPECT_TRUE(exits.empty());
  EXPECT_TRUE(platform.requests().empty());
}

TEST_F(CreateTest, PlatformFailureLogsResponseAndErrorThenExitsWithOne) {
  inject_answer("POST", "/machines", 422,
                R"({"error":"invalid_argument: bad image","id":"shadow"})");
  CreateRequest request = kRequest;
  request.skip_confirm = true;
  CapturedLines captured(*logger);

  EXPECT_THROW(adapter.create(request), ProcessExit);

  EXPECT_EQ(exits, std::vector<int>{1});
  const auto lines = captured.lines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_TRUE(lines[0].starts_with("create machine response {")) << lines[0];
  EXPECT_EQ(lines[1], "create machine failed [invalid_argument: bad image]");
}

class LifecycleTest : public VostrelTest {
 protected:
  void SetUp() override {
    platform.add_machine(kApp, machine_record("d00d1", "mediator-S1", "started", "m-1"));
  }
  FlyAdapter adapter{options()};
};

TEST_F(LifecycleTest, NormalDestroyStopsWaitsThenDestroysAndPrintsEachResponse) {
  const json destroy_rsp = adapter.destroy("d00d1");

  const std::string m = machine_path("d00d1");
  EXPECT_EQ(request_lines(), (std::vector<std::string>{"POST " + m + "/stop", "GET " + m,
                                                       "GET " + m + "/wait", "DELETE " + m}));
  const auto requests = platform.requests();
  EXPECT_EQ(requests[2].query.at("state"), "stopped");
  EXPECT_EQ(requests[2].query.at("instance_id"),
            machine_record("d00d1", "", "", "")["instance_id"]);
  EXPECT_EQ(requests[3].query.at("force"), "false");

  std::istringstream printed(out.str());
  std::vector<std::string> lines;
  for (std::string line; std::getline(printed, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3U) << out.str();
  EXPECT_TRUE(lines[0].starts_with("stop_rsp [d00d1]: ")) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("wait_rsp [d00d1]: ")) << lines[1];
  EXPECT_EQ(lines[2], "destroy_rsp [d00d1]: " + destroy_rsp.dump());
  EXPECT_TRUE(platform.machines(kApp).empty());
}

TEST_F(LifecycleTest, ForcedDestroySendsOnlyTheDestroy) {
  adapter.destroy("d00d1", true);

  const auto requests = platform.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0].method, "DELETE");
  EXPECT_EQ(requests[0].query.at("force"), "true");
  const std::string printed = out.str();
  EXPECT_TRUE(printed.starts_with("destroy_rsp [d00d1]: ")) << printed;
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
}

TEST_F(LifecycleTest, GetWithoutInstanceIdStopsBeforeTheWait) {
  auto record = machine_record("c0de2", "mediator-S2", "started", "m-2");
  record.erase("instance_id");
  platform.add_machine(kApp, record);

  try {
    adapter.destroy("c0de2");
    FAIL() << "destroyed without an instance id";
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "instance_id");
  }
  const std::string m = machine_path("c0de2");
  EXPECT_EQ(request_lines(), (std::vector<std::string>{"POST " + m + "/stop", "GET " + m}));
}

TEST_F(LifecycleTest, StartAndStopForwardOneRequestAndReturnTheAnswer) {
  EXPECT_FALSE(adapter.stop("d00d1").contains("error"));
  EXPECT_FALSE(adapter.start("d00d1").contains("error"));
  // A refusal comes back to the caller instead of vanishing.
  EXPECT_TRUE(adapter.start("unknown").contains("error"));
  const std::string m = machine_path("d00d1");
  EXPECT_EQ(request_lines(),
            (std::vector<std::string>{"POST " + m + "/stop", "POST " + m + "/start",
                                      "POST " + machine_path("unknown") + "/start"}));
  EXPECT_EQ(out.str(), "");
}

TEST_F(LifecycleTest, PrintedResponsesCannotDriveTheTerminalOrForgeLines) {
  // A text answer is printed as itself, so it must be escaped on the way out.
  inject_answer("DELETE", "/machines/", 200, R"("\u001b]0;x\u0007\ndestroy_rsp [other]: ok")");
  adapter.destroy("d00d1", true);
  const std::string printed = out.str();
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
  EXPECT_EQ(printed.find('\x1b'), std::string::npos) << printed;
  EXPECT_NE(printed.find("\\x1b]0;x"), std::string::npos) << printed;

  // A bidirectional override inside a JSON answer is no control character to JSON.
  out.str("");
  inject_answer("DELETE", "/machines/", 200, R"({"ok":true,"note":"\u202egnp.exe"})");
  adapter.destroy("d00d1", true);
  EXPECT_EQ(out.str(), R"(destroy_rsp [d00d1]: {"note":"\u202egnp.exe","ok":true})"
                       "\n");
}

}  // namespace
}  // namespace quelmar::orchestrate::adapter::vostrel::testing
