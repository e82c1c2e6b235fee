#include "quelmar/orchestrate/adapter/machine_answer.hpp"
#include "quelmar/orchestrate/adapter/machine_state.hpp"
#include "quelmar/orchestrate/fleet/apply.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::fleet {

using adapter::vostrel::Answer;
using adapter::vostrel::Verdict;
using nlohmann::json;

Answer await_state(adapter::vostrel::Machines& adapter, const std::string& id,
                   const std::string& state) {
  std::string instance_id;
  if (state == adapter::machine_state::kStopped) {
    Answer machine = adapter.get_machine(id);
    if (!machine.done()) return machine;
    auto version = adapter::machine_answer::instance_id(machine.value);
    if (!version) {
      return {Verdict::kUnanswered, machine.status,
              json{{"error", "the platform gave no version (instance_id) of machine " + id}}};
    }
    instance_id = std::move(*version);
  }
  Answer waited = adapter.wait_machine(id, instance_id, state);
  if (!waited.done()) return waited;
  // The platform names the state it saw; anything but the one asked for is no success.
  const json* seen = adapter::machine_answer::state(waited.value);
  if (seen != nullptr && !(seen->is_string() && seen->get_ref<const std::string&>() == state)) {
    return {Verdict::kRefused, waited.status,
            json{{"error", "the machine is " + util::text_form(*seen) + ", not " + state}}};
  }
  return waited;
}

}  // namespace quelmar::orchestrate::fleet
