// Which mediator serves a meter, whatever the listing order.
#include <gtest/gtest.h>

#include "quelmar/orchestrate/adapter/serving_mediators.hpp"

namespace quelmar::orchestrate::adapter::mediator {
namespace {

Mediator record(std::optional<std::string> meter_id, const std::string& state) {
  Mediator m;
  m.meter_id = std::move(meter_id);
  m.platform_state = state;
  m.state = state == "started" ? ContainerState::STARTED : ContainerState::STOPPED;
  return m;
}

TEST(ServingMediators, TheFirstStartedLiveRecordServesElseTheFirstListed) {
  ServingMediators serving;
  std::size_t index = 0;
  for (const Mediator& m :
       {record("a", "stopped"), record("b", "destroying"), record("a", "started"),
        record(std::nullopt, "started"), record("a", "started"), record("b", "stopped"),
        record("c", "destroyed"), record("b", "failed")}) {
    serving.offer(m, index++);
  }
  EXPECT_EQ(serving.of("a"), 2u) << "the first started, not the first listed";
  EXPECT_EQ(serving.of("b"), 5u) << "a dead record first serves nobody";
  EXPECT_FALSE(serving.of("c")) << "only dead records";
  EXPECT_EQ(serving.all(), (std::map<std::string, std::size_t>{{"a", 2}, {"b", 5}}));
}

}  // namespace
}  // namespace quelmar::orchestrate::adapter::mediator
