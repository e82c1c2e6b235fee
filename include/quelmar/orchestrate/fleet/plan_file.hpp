// Plan files: a plan saved for a later apply, and the check that it still holds.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "quelmar/orchestrate/adapter/machines.hpp"
#include "quelmar/orchestrate/fleet/plan.hpp"

namespace quelmar::orchestrate::fleet {

inline constexpr int PLAN_FORMAT = 2;
// The most bytes a plan file may hold.
inline constexpr std::uint64_t MAX_PLAN_FILE_BYTES = std::uint64_t{256} << 20;

// A plan file that cannot be used: malformed, contradicting itself, of another format version
// or another app. what() is the reason alone, for the caller to put after the file's name.
class PlanFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Readers of a plan take the app it must be for (absent: any).
// The plan as a plan file holds it: data, never redacted. Every machine it names carries its
// config as listed, so that what an update changes can be checked and shown from the file.
nlohmann::json plan_to_json(const Plan& plan);
// Throws PlanFileError, also for a plan that contradicts itself: a create to another region
// or for another meter than its action's, an action's prune other than the plan's, an update
// whose changes are not exactly how its config differs from the listed one, a duplicate whose
// primary is not the machine of its meter's own action, a machine named twice.
Plan plan_from_json(const nlohmann::json& document, const std::optional<std::string>& app);
// The whole text of a plan file: one JSON document (trailing white space allowed), read in
// time linear in its size. Throws PlanFileError.
Plan plan_from_text(std::string_view text, const std::optional<std::string>& app);
// Written whole or not at all, readable by the owner only (it may hold secrets of the configs).
// Throws std::runtime_error.
void write_plan_file(const std::string& path, const Plan& plan);
// A plan file must be a regular file of at most MAX_PLAN_FILE_BYTES that only its reader (or
// root) owns and can change. Throws util::FileRefused or PlanFileError.
Plan read_plan_file(const std::string& path, const std::optional<std::string>& app);

// A machine a saved plan names that is no longer as the plan saw it, or a meter the plan
// would create a mediator for that has one now.
struct StaleMachine {
  std::string machine_id{};
  std::string meter_id{};
  std::string what{};  // what changed: "no longer listed", "state stopped -> started", ...
};

// Lists the app's mediators once and compares every machine the plan names (with its listed
// instance_id, state and config) and every meter it creates for. Empty when the plan still
// holds. Throws PlatformError when the listing fails.
std::vector<StaleMachine> stale_machines(adapter::vostrel::Machines& adapter, const Plan& plan);

}  // namespace quelmar::orchestrate::fleet
