#include "quelmar/orchestrate/fleet/address_report.hpp"

#include <ostream>

#include <nlohmann/json.hpp>

#include "quelmar/util/escape.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::fleet {

void write_addresses(std::ostream& out, const std::vector<MeterAddress>& found,
                     ReportFormat format) {
  if (format == ReportFormat::kJson) {
    auto array = nlohmann::ordered_json::array();
    for (const auto& m : found) {
      array.push_back(
          {{"meter_id", m.meter_id}, {"machine_id", m.machine_id}, {"address", m.address}});
    }
    out << util::dump_json(array, util::JsonCharset::kAscii) << '\n';
    return;
  }
  for (const auto& m : found) {
    out << util::escape_for_terminal(m.meter_id) << ' ' << util::escape_for_terminal(m.address)
        << '\n';
  }
}

}  // namespace quelmar::orchestrate::fleet
