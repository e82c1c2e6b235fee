// The create dialogue's parts on the core alone: what the operator is shown, how an answer is
// taken, and the create that neither prints nor ends the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "quelmar/util/redaction.hpp"
#include "vostrel_fixture.hpp"

namespace quelmar::orchestrate::adapter::vostrel::testing {
namespace {

using nlohmann::json;
using util::logging::CapturedLines;

constexpr const char* kPrompt =
    "\nFly App:    meters"
    "\nRegion:     ams"
    "\nImage:      registry.fly.io/mediator:7"
    "\nName:       mediator-ABC123"
    "\nMetadata:   {\"ip_address\":\"10.9.8.7\",\"meter_id\":\"m-42\"}"
    "\n\nCreate machine with these details (y/n): ";

class CreateDialogueTest : public VostrelTest {
 protected:
  MachinesOptions core_settings() {
    MachinesOptions o = core_options(options());
    o.region = "ams";
    return o;
  }
  Machines core{core_settings()};
};

TEST_F(CreateDialogueTest, ThePromptShowsTheCoresSettingsAndTheRequestInOneColumn) {
  EXPECT_EQ(create_prompt(core, kRequest), kPrompt);
  EXPECT_TRUE(platform.requests().empty());
}

TEST_F(CreateDialogueTest, HostileTextsCannotDriveTheTerminalOrForgeALine) {
  MachinesOptions o = core_settings();
  o.app_name = "meters\x1b]0;owned\x07";
  o.region = "ams\r";
  o.image = "img:1\nName:       mediator-FORGED";
  const Machines hostile(o);
  CreateRequest request = kRequest;
  request.serial = "S\x1b[2J\xe2\x80\xae";
  request.meter_id = "m\x1b[31m";
  request.ip_address = "10.0.0.1\n\nCreate machine";

  const std::string prompt = create_prompt(hostile, request);

  EXPECT_EQ(std::count(prompt.begin(), prompt.end(), '\n'), 7) << prompt;
  EXPECT_EQ(prompt.find('\x1b'), std::string::npos) << prompt;
  EXPECT_EQ(prompt.find('\r'), std::string::npos) << prompt;
  EXPECT_EQ(prompt.find("\xe2\x80\xae"), std::string::npos) << prompt;
  for (const char* shown : {"\nFly App:    meters\\x1b]0;owned\\x07\n", "\nRegion:     ams\\x0d\n",
                            "\nImage:      img:1\\x0aName:       mediator-FORGED\n",
                            "\nName:       mediator-S\\x1b[2J\\u{202E}\n"}) {
    EXPECT_NE(prompt.find(shown), std::string::npos) << shown << " in " << prompt;
  }
  EXPECT_TRUE(prompt.ends_with("\n\nCreate machine with these details (y/n): ")) << prompt;
}

TEST_F(CreateDialogueTest, ThePromptHidesASecretButTheRequestKeepsIt) {
  CreateRequest request = kRequest;
  request.meter_id = kToken;
  const std::string prompt = create_prompt(core, request);
  EXPECT_EQ(prompt.find(kToken), std::string::npos) << prompt;
  EXPECT_NE(prompt.find(util::kRedacted), std::string::npos) << prompt;
  EXPECT_EQ(core.create_body(request)["config"]["metadata"]["meter_id"], kToken);
}

TEST_F(CreateDialogueTest, OnlyYConfirmsAndNeitherAnswerSendsOrEndsAnything) {
  std::istringstream yes("y\nn\n");
  std::ostringstream shown;
  EXPECT_TRUE(confirm_create(core, kRequest, yes, shown));
  EXPECT_EQ(shown.str(), kPrompt);
  EXPECT_EQ(yes.tellg(), 2) << "one line read";

  std::istringstream no("Y\n");
  shown.str("");
  EXPECT_FALSE(confirm_create(core, kRequest, no, shown));
  EXPECT_EQ(shown.str(), std::string(kPrompt) + "\naborting ...\n\n");

  std::istringstream closed("");
  shown.str("");
  EXPECT_THROW(confirm_create(core, kRequest, closed, shown), std::runtime_error);
  EXPECT_EQ(shown.str(), kPrompt) << "the question was asked";

  EXPECT_TRUE(platform.requests().empty());
  EXPECT_TRUE(exits.empty());
  EXPECT_EQ(out.str(), "");
}

TEST_F(CreateDialogueTest, WithoutAnAppNothingIsShownOrSent) {
  MachinesOptions o = core_settings();
  o.app_name.reset();
  Machines appless(o);
  std::istringstream yes("y\n");
  std::ostringstream shown;
  EXPECT_THROW(confirm_create(appless, kRequest, yes, shown), std::logic_error);
  EXPECT_THROW(create_mediator(appless, kRequest), std::logic_error);
  EXPECT_EQ(shown.str(), "");
  EXPECT_TRUE(platform.requests().empty());
}

TEST_F(CreateDialogueTest, CreateSendsTheOneBodyAndReturnsTheNewId) {
  CapturedLines captured(*logger);
  const auto id = create_mediator(core, kRequest);
  ASSERT_TRUE(id.has_value());
  ASSERT_TRUE(platform.machine(kApp, *id).has_value());
  const auto requests = platform.requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(json::parse(requests[0].body), core.create_body(kRequest));
  const auto lines = captured.lines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[1], "created machine with id " + *id + " machine_id=" + *id);
}

TEST_F(CreateDialogueTest, APlatformFailureIsNoIdAndEndsNothing) {
  inject_answer("POST", "/machines", 422, R"({"error":"app is full","id":"shadow"})");
  CapturedLines captured(*logger);
  EXPECT_EQ(create_mediator(core, kRequest), std::nullopt);
  const auto lines = captured.lines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_TRUE(lines[0].starts_with("create machine response {")) << lines[0];
  EXPECT_EQ(lines[1], "create machine failed [app is full]");
  EXPECT_TRUE(exits.empty());
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace quelmar::orchestrate::adapter::vostrel::testing
