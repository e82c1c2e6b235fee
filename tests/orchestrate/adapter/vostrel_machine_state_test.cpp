// What each platform state means, and the fields read from the platform's machine answers.
#include <gtest/gtest.h>

#include "quelmar/orchestrate/adapter/machine_answer.hpp"
#include "quelmar/orchestrate/adapter/machine_state.hpp"
#include "quelmar/orchestrate/adapter/mediator.hpp"

namespace quelmar::orchestrate::adapter {
namespace {

using container::ContainerState;
using nlohmann::json;

TEST(MachineState, OnlyDestroyingAndDestroyedAreDeadAndOnlyStillMachinesAreAtRest) {
  for (const auto& entry : machine_state::kPlatformStates) {
    const bool dead = entry.text == "destroyed" || entry.text == "destroying";
    EXPECT_EQ(machine_state::is_dead(entry.text), dead) << entry.text;
    const bool at_rest =
        entry.text == "stopped" || entry.text == "created" || entry.text == "failed";
    EXPECT_EQ(machine_state::is_at_rest(entry.text), at_rest) << entry.text;
  }
  // Unknown texts, and case: neither dead nor at rest, and UNKNOWN to the container model.
  for (const char* text : {"", "Destroyed", "STOPPED", "hibernating"}) {
    EXPECT_FALSE(machine_state::is_dead(text)) << text;
    EXPECT_FALSE(machine_state::is_at_rest(text)) << text;
    EXPECT_EQ(machine_state::state_of(text), ContainerState::UNKNOWN) << text;
  }
  EXPECT_EQ(machine_state::state_of("destroyed"), ContainerState::UNKNOWN);
  EXPECT_EQ(machine_state::state_of("destroying"), ContainerState::REMOVING);
}

TEST(MachineState, ADeadRecordIsToldByItsPlatformText) {
  mediator::Mediator m;
  EXPECT_FALSE(mediator::is_dead(m)) << "no state at all";
  m.platform_state = "destroyed";
  EXPECT_TRUE(mediator::is_dead(m));
  m.platform_state = "started";
  EXPECT_FALSE(mediator::is_dead(m));
}

TEST(MachineAnswer, FieldsAreReadOnlyWhenTheyHaveTheRightType) {
  const json good = {{"id", "m1"}, {"instance_id", "v2"}, {"state", "started"}};
  EXPECT_EQ(machine_answer::machine_id(good), "m1");
  EXPECT_EQ(machine_answer::instance_id(good), "v2");
  ASSERT_NE(machine_answer::state(good), nullptr);
  EXPECT_EQ(*machine_answer::state(good), "started");

  const json odd = {{"id", 7}, {"instance_id", nullptr}, {"state", 3}};
  EXPECT_FALSE(machine_answer::machine_id(odd));
  EXPECT_FALSE(machine_answer::instance_id(odd));
  ASSERT_NE(machine_answer::state(odd), nullptr) << "a state of another type is still named";
  for (const json& none : {json(), json::array({good}), json("id"), json::object()}) {
    EXPECT_FALSE(machine_answer::machine_id(none)) << none;
    EXPECT_FALSE(machine_answer::instance_id(none)) << none;
    EXPECT_EQ(machine_answer::state(none), nullptr) << none;
  }
}

}  // namespace
}  // namespace quelmar::orchestrate::adapter
