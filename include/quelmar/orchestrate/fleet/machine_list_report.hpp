// The app's mediators as `fly list` prints them: a table for people, or a JSON array written one
// element at a time, so that a large fleet is never held twice.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "quelmar/orchestrate/fleet/listing.hpp"
#include "quelmar/orchestrate/fleet/report_format.hpp"

namespace quelmar::orchestrate::fleet {

// A state as the list writes it and its filter takes it: "started", "removing", "unknown".
std::string state_text(adapter::container::ContainerState state);

// The states a list can be filtered by: every one but "unknown", which stands for many.
std::vector<std::string> filterable_states();

// Text: a header, a row per machine (a state outside the known ones as the platform reports
// it), then "N machine(s)". JSON: [{id, name, region, image, port, status, metadata}, ...].
void write_machine_list(std::ostream& out, const std::vector<ListedMachine>& listed,
                        ReportFormat format);

}  // namespace quelmar::orchestrate::fleet
