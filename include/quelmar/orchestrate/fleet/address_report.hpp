// Every meter's mediator address as `fly addresses` prints it.
#pragma once

#include <iosfwd>
#include <vector>

#include "quelmar/orchestrate/fleet/addresses.hpp"
#include "quelmar/orchestrate/fleet/report_format.hpp"

namespace quelmar::orchestrate::fleet {

// Text: "METER_ID ADDRESS" per meter. JSON: [{meter_id, machine_id, address}, ...].
void write_addresses(std::ostream& out, const std::vector<MeterAddress>& found,
                     ReportFormat format);

}  // namespace quelmar::orchestrate::fleet
