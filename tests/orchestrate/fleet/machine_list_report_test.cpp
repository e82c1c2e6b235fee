// The app's mediators as `fly list` prints them.
#include "quelmar/orchestrate/fleet/machine_list_report.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace quelmar::orchestrate::fleet {
namespace {

using adapter::container::ContainerState;
using nlohmann::json;
using ::testing::ElementsAre;

ListedMachine listed(const std::string& id, ContainerState state, const std::string& region) {
  adapter::container::Container m{.id = id,
                                  .name = "mediator-" + id,
                                  .image = "img",
                                  .port = 50051,
                                  .status = state,
                                  .metadata = {{"meter_id", "M-" + id}}};
  return {m, region};
}

std::string written(const std::vector<ListedMachine>& machines, ReportFormat format) {
  std::ostringstream out;
  write_machine_list(out, machines, format);
  return out.str();
}

TEST(MachineListReport, TableHasAColumnPerFieldAndCountsTheMachines) {
  auto unknown = listed("e2", ContainerState::UNKNOWN, "ams");
  unknown.machine.platform_state = "suspended\x1b[2J";
  EXPECT_EQ(
      written({listed("e1", ContainerState::REMOVING, "iad"), unknown}, ReportFormat::kText),
      "ID              NAME                    STATE     REGION  PORT   METADATA\n"
      "e1              mediator-e1             removing  iad     50051  {\"meter_id\":\"M-e1\"}\n"
      "e2              mediator-e2             suspended\\x1b[2Jams     50051  "
      "{\"meter_id\":\"M-e2\"}\n"
      "2 machines\n");
  EXPECT_THAT(written({listed("e1", ContainerState::STARTED, "iad")}, ReportFormat::kText),
              ::testing::EndsWith("\n1 machine\n"));
  EXPECT_THAT(written({}, ReportFormat::kText), ::testing::EndsWith("METADATA\n0 machines\n"));
}

TEST(MachineListReport, JsonIsOneAsciiArrayWithTheStateAsTheFilterTakesIt) {
  auto odd = listed("e\x1b", ContainerState::STARTED, "ams");
  odd.machine.metadata["note"] = "\u202e";
  const std::string text =
      written({odd, listed("e2", ContainerState::STOPPED, "iad")}, ReportFormat::kJson);
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find("\u202e"), std::string::npos) << text;
  const json array = json::parse(text);
  ASSERT_EQ(array.size(), 2U);
  EXPECT_EQ(array[0]["id"], "e\x1b");
  EXPECT_EQ(array[1]["status"], "stopped");
  EXPECT_EQ(array[1]["region"], "iad");
  EXPECT_EQ(written({}, ReportFormat::kJson), "[]\n");
}

TEST(MachineListReport, EveryStateButUnknownCanBeFilteredByItsListedName) {
  EXPECT_THAT(filterable_states(), ElementsAre("created", "started", "starting", "stopped",
                                               "stopping", "removing", "failed"));
  for (const auto& name : filterable_states()) {
    const auto state = adapter::container::parse_container_state(name);
    ASSERT_TRUE(state) << name;
    EXPECT_EQ(state_text(*state), name);
  }
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
