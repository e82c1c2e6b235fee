#include "quelmar/orchestrate/fleet/stale_report.hpp"

#include "quelmar/util/escape.hpp"
#include "quelmar/util/truncate.hpp"

namespace quelmar::orchestrate::fleet {
namespace {

constexpr std::size_t kMaxShownChange = 300;

}  // namespace

std::string stale_line(const StaleMachine& m) {
  using util::escape_for_terminal;
  return "machine " + escape_for_terminal(m.machine_id) + " of meter " +
         (m.meter_id.empty() ? std::string("-") : escape_for_terminal(m.meter_id)) + ": " +
         escape_for_terminal(util::truncated(m.what, kMaxShownChange));
}

std::string stale_summary(std::size_t count) {
  return "the plan is stale (" + std::to_string(count) + (count == 1 ? " machine" : " machines") +
         " changed since it was made); make a new plan";
}

}  // namespace quelmar::orchestrate::fleet
