#include "quelmar/orchestrate/fleet/apply_report.hpp"

#include <iomanip>
#include <ostream>
#include <sstream>

#include "quelmar/orchestrate/fleet/plan_report.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::fleet {
namespace {

using nlohmann::ordered_json;
using util::escape_for_terminal;

ordered_json text_or_null(const std::string& text) {
  return text.empty() ? ordered_json(nullptr) : ordered_json(text);
}

}  // namespace

std::string result_line(const Result& r) {
  std::string line =
      action_head(r.action, r.meter_id, r.machine_id, r.region) + ": " + to_string(r.outcome);
  if (r.outcome == Outcome::kKept) return line + " (" + escape_for_terminal(r.error) + ")";
  if (!r.error.empty()) line += ": " + escape_for_terminal(r.error);
  return line;
}

std::string progress_line(const Progress& p) {
  const double elapsed = std::chrono::duration<double>(p.elapsed).count();
  const double eta =
      p.done == 0 ? 0.0
                  : elapsed / static_cast<double>(p.done) * static_cast<double>(p.total - p.done);
  std::ostringstream line;
  line << p.done << '/' << p.total << " done, " << p.failed << " failed, " << std::fixed
       << std::setprecision(1) << elapsed << " s elapsed, ETA " << eta << " s";
  return line.str();
}

std::string apply_summary_line(const std::string& app, const Report& report) {
  const ApplyCounts c = report.counts();
  std::ostringstream line;
  line << "applied to " << escape_for_terminal(app) << ": " << c.changed << " changed, "
       << c.in_step << " in step, " << c.failed << " failed";
  if (c.skipped > 0) line << ", " << c.skipped << " skipped";
  if (c.kept > 0) line << ", " << c.kept << " kept";
  line << (report.interrupted ? " (interrupted)" : "");
  return line.str();
}

nlohmann::ordered_json apply_report_json(const Report& report) {
  auto results = ordered_json::array();
  for (const auto& r : report.results) {
    results.push_back(
        {{"action", to_string(r.action)},
         {"meter_id", text_or_null(r.meter_id)},
         {"machine_id", r.machine_id ? ordered_json(*r.machine_id) : ordered_json(nullptr)},
         {"region", r.region},
         {"outcome", to_string(r.outcome)},
         {"error", text_or_null(r.error)}});
  }
  const ApplyCounts c = report.counts();
  // "ok" (changed and in step together) stays for scripts written before the split.
  const ordered_json summary{{"changed", c.changed}, {"in_step", c.in_step},
                             {"failed", c.failed},   {"skipped", c.skipped},
                             {"kept", c.kept},       {"ok", c.changed + c.in_step}};
  return {{"results", std::move(results)}, {"summary", summary}};
}

void write_apply_report(std::ostream& out, const std::string& app, const Report& report,
                        ReportFormat format) {
  if (format == ReportFormat::kJson) {
    out << util::dump_json(apply_report_json(report), util::JsonCharset::kAscii) << '\n';
  } else {
    out << apply_summary_line(app, report) << '\n';
  }
}

}  // namespace quelmar::orchestrate::fleet
