#include "quelmar/orchestrate/fleet/create_check.hpp"

namespace quelmar::orchestrate::fleet {

CreateNotReady::CreateNotReady()
    : std::invalid_argument("creating mediators needs an image and the command they run") {}

void check_creates_ready(const Plan& plan) {
  for (const Action& action : plan.actions) {
    if (action.kind == ActionKind::kCreate && !action.body.is_object()) throw CreateNotReady();
  }
}

}  // namespace quelmar::orchestrate::fleet
