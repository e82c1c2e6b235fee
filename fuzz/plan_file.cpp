// A plan file's text: any bytes give a plan or PlanFileError, never a crash; a plan accepted
// is one that holds together and reads back the same after it is written.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.hpp"
#include "quelmar/orchestrate/fleet/plan_file.hpp"

namespace fleet = quelmar::orchestrate::fleet;
using quelmar::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  fleet::Plan plan;
  try {
    plan = fleet::plan_from_text(text, "meters");
  } catch (const fleet::PlanFileError&) {
    return 0;
  }
  require(plan.app == "meters", "a plan is for the app asked for");
  for (const fleet::Action& action : plan.actions) {
    require(action.kind == fleet::ActionKind::kCreate || action.machine.has_value(),
            "every action but a create names a machine");
    if (action.kind == fleet::ActionKind::kUpdate) {
      require(!action.changes.empty(), "an update changes something");
    }
  }
  const nlohmann::json written = fleet::plan_to_json(plan);
  require(fleet::plan_to_json(fleet::plan_from_json(written, "meters")) == written,
          "a plan reads back as it was written");
  return 0;
}
