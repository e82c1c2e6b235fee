// Whether a plan can create the mediators it plans.
#include "quelmar/orchestrate/fleet/create_check.hpp"

#include <gtest/gtest.h>

namespace quelmar::orchestrate::fleet {
namespace {

TEST(CreateCheck, EveryCreateNeedsItsRequestAndNothingElseDoes) {
  Plan plan{.app = "app"};
  plan.actions.push_back({.kind = ActionKind::kUpdate, .meter_id = "M1"});
  plan.actions.push_back({.kind = ActionKind::kOrphan});
  EXPECT_NO_THROW(check_creates_ready(plan));
  plan.actions.push_back({.kind = ActionKind::kCreate, .meter_id = "M2", .body = {{"name", "x"}}});
  EXPECT_NO_THROW(check_creates_ready(plan));
  plan.actions.push_back({.kind = ActionKind::kCreate, .meter_id = "M3"});
  EXPECT_THROW(check_creates_ready(plan), CreateNotReady);
  // apply's callers have long caught it as a bad argument.
  EXPECT_THROW(check_creates_ready(plan), std::invalid_argument);
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
