#include "quelmar/orchestrate/fleet/apply.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::fleet {

using corvane::api::Answer;
using corvane::api::Verdict;
using nlohmann::json;

Answer await_state(adapter::vostrel::FlyAdapter& adapter, const std::string& id,
                   const std::string& state) {
  std::string instance_id;
  if (state == "stopped") {
    Answer machine = adapter.get_machine(id);
    if (!machine.done()) return machine;
    const json* version = machine.value.is_object() && machine.value.contains("instance_id")
                              ? &machine.value["instance_id"]
                              : nullptr;
    if (version == nullptr || !version->is_string()) {
      return {Verdict::kUnanswered, machine.status,
              json{{"error", "the platform gave no version (instance_id) of machine " + id}}};
    }
    instance_id = version->get<std::string>();
  }
  Answer waited = adapter.wait_machine(id, instance_id, state);
  if (!waited.done()) return waited;
  // The platform names the state it saw; anything but the one asked for is no success.
  const json* seen =
      waited.value.is_object() && waited.value.contains("state") ? &waited.value["state"] : nullptr;
  if (seen != nullptr && *seen != json(state)) {
    return {Verdict::kRefused, waited.status,
            json{{"error", "the machine is " + util::text_form(*seen) + ", not " + state}}};
  }
  return waited;
}

}  // namespace quelmar::orchestrate::fleet
