// Whether a plan can create the mediators it plans: a create needs the whole request, which
// only an image and the command the mediators run make.
#pragma once

#include <stdexcept>

#include "quelmar/orchestrate/fleet/plan.hpp"

namespace quelmar::orchestrate::fleet {

class CreateNotReady : public std::invalid_argument {
 public:
  CreateNotReady();
};

// Throws CreateNotReady when a create of the plan has no request to send.
void check_creates_ready(const Plan& plan);

}  // namespace quelmar::orchestrate::fleet
