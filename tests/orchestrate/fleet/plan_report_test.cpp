// A plan as the operator reads it before anything is sent.
#include "quelmar/orchestrate/fleet/plan_report.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

namespace quelmar::orchestrate::fleet {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

Machine machine(const std::string& id, const std::string& state) {
  return {.id = id, .name = "mediator-" + id, .region = "ams", .state = state};
}

json create_request() {
  return json::parse(R"({"region": "iad", "name": "mediator-S1", "config": {
      "image": "img:1", "init": {"cmd": ["/m"]},
      "metadata": {"meter_id": "M1", "ip_address": "10.0.0.1"},
      "env": {"METER_IP_ADDRESS": "10.0.0.1", "USE_CERT_AUTH": "false"},
      "services": [{"ports": [{"port": 50051}]}]}})");
}

// One action of every kind, and an ok one that the text leaves out.
Plan every_kind() {
  Plan plan{.app = "app", .region = "iad", .prune = true};
  plan.actions.push_back({.kind = ActionKind::kCreate, .meter_id = "M1", .body = create_request()});
  plan.actions.push_back({.kind = ActionKind::kCreate, .meter_id = "M2"});
  plan.actions.push_back({.kind = ActionKind::kUpdate,
                          .meter_id = "M3",
                          .machine = machine("u3", "started"),
                          .changes = {{.path = "image", .from = json("a"), .to = json("b")},
                                      {.path = "env.X", .to = json(1)}}});
  plan.actions.push_back(
      {.kind = ActionKind::kStart, .meter_id = "M4", .machine = machine("s4", "stopped")});
  plan.actions.push_back(
      {.kind = ActionKind::kOk, .meter_id = "M5", .machine = machine("o5", "started")});
  plan.actions.push_back({.kind = ActionKind::kDuplicate,
                          .meter_id = "M3",
                          .machine = machine("d6", "stopped"),
                          .prune = true,
                          .primary_id = "u3"});
  plan.actions.push_back(
      {.kind = ActionKind::kOrphan, .machine = machine("x7", "started"), .prune = false});
  return plan;
}

std::string text_of(const Plan& plan) {
  std::ostringstream out;
  write_plan_report(out, plan, ReportFormat::kText);
  return out.str();
}

TEST(PlanReport, TextShowsWhatEachActionDoesAndLeavesOutThoseInStep) {
  EXPECT_EQ(text_of(every_kind()),
            "create M1 (new mediator: region iad, name mediator-S1, image img:1, cmd [\"/m\"], "
            "meter_id M1, serial S1, ip_address 10.0.0.1, port 50051, cert_auth false)\n"
            "create M2 (new mediator in iad)\n"
            "update M3 u3 ams (image a -> b, env.X (none) -> 1)\n"
            "start M4 s4 ams (stopped)\n"
            "duplicate M3 d6 ams (destroy mediator-d6, stopped; primary u3)\n"
            "orphan - x7 ams (kept: no --prune)\n"
            "plan for app: 2 create, 1 update, 1 start, 1 ok, 1 duplicate, 1 orphan; "
            "1 to destroy, 1 kept\n");
}

TEST(PlanReport, JsonNamesEveryActionWithNullsForWhatIsAbsent) {
  const json report = plan_report_json(every_kind());
  const json& actions = report["actions"];
  ASSERT_EQ(actions.size(), 7U);
  EXPECT_EQ(actions[0]["create"]["serial"], "S1");
  EXPECT_EQ(actions[0]["machine_id"], nullptr);
  EXPECT_EQ(actions[0]["region"], "iad");  // where it goes
  EXPECT_EQ(actions[1]["create"], nullptr);
  EXPECT_EQ(actions[2]["changes"], json({"image", "env.X"}));
  EXPECT_EQ(actions[2]["diff"]["env.X"], json({{"from", nullptr}, {"to", 1}}));
  EXPECT_FALSE(actions[4].contains("create") || actions[4].contains("prune"));
  EXPECT_EQ(actions[5]["primary_id"], "u3");
  EXPECT_EQ(actions[6]["meter_id"], nullptr);
  EXPECT_EQ(actions[6]["prune"], false);
  EXPECT_FALSE(actions[6].contains("primary_id"));
  EXPECT_EQ(report["summary"]["destroy"], 1);
  EXPECT_EQ(report["summary"]["kept"], 1);
}

TEST(PlanReport, PlatformTextCannotDriveTheTerminalInEitherFormat) {
  Plan plan{.app = "app\x1b[2J", .region = "iad"};
  Machine m = machine("s1\n", "stopped\x1b]0;x\x07");
  m.region = "ams\u202e";
  plan.actions.push_back({.kind = ActionKind::kStart, .meter_id = "M\r1", .machine = m});
  plan.actions.push_back(
      {.kind = ActionKind::kUpdate,
       .meter_id = "M2",
       .machine = machine("u2", "started"),
       .changes = {{.path = "env.\x1b", .from = json("\x1b[1m"), .to = json("b")}}});
  const std::string text = text_of(plan);
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  EXPECT_EQ(text.find("\u202e"), std::string::npos) << text;

  std::ostringstream out;
  write_plan_report(out, plan, ReportFormat::kJson);
  const std::string document = out.str();
  EXPECT_TRUE(std::all_of(document.begin(), document.end(), [](char c) {
    return (c >= 0x20 && c < 0x7f) || c == '\n';
  })) << document;
  EXPECT_EQ(document.back(), '\n');
  EXPECT_EQ(json::parse(document)["actions"][0]["meter_id"], "M\r1");  // data kept whole
}

TEST(PlanReport, ResultsShareTheActionHead) {
  EXPECT_EQ(action_head(ActionKind::kOrphan, "", std::string("x7"), "ams"), "orphan - x7 ams");
  EXPECT_EQ(action_head(ActionKind::kCreate, "M1", std::nullopt, "iad"), "create M1");
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
