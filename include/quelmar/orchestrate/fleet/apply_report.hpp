// What an apply did, as the operator reads it: a line per finished action while it runs, a
// progress line, and at the end a summary line or the JSON {results, summary}.
#pragma once

#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

#include "quelmar/orchestrate/fleet/apply.hpp"
#include "quelmar/orchestrate/fleet/report_format.hpp"

namespace quelmar::orchestrate::fleet {

// "ACTION METER_ID [MACHINE_ID REGION]: OUTCOME[: error]"; a kept one says why in brackets.
std::string result_line(const Result& result);

// "N/N done, N failed, S s elapsed, ETA S s", without a line end: a terminal redraws it.
std::string progress_line(const Progress& progress);

// "applied to APP: N changed, N in step, N failed", then skipped and kept only when there are
// any, and " (interrupted)" when it was.
std::string apply_summary_line(const std::string& app, const Report& report);

nlohmann::ordered_json apply_report_json(const Report& report);

// Text: the summary line. JSON: one document on one line.
void write_apply_report(std::ostream& out, const std::string& app, const Report& report,
                        ReportFormat format);

}  // namespace quelmar::orchestrate::fleet
