#include "quelmar/orchestrate/fleet/machine_list_report.hpp"

#include <iomanip>
#include <ostream>

#include <nlohmann/json.hpp>

#include "quelmar/util/escape.hpp"
#include "quelmar/util/json_text.hpp"
#include "quelmar/util/lower.hpp"

namespace quelmar::orchestrate::fleet {
namespace {

namespace container = adapter::container;
using util::escape_for_terminal;

std::string shown_state(const container::Container& m) {
  return m.status == container::ContainerState::UNKNOWN ? escape_for_terminal(m.platform_state)
                                                        : state_text(m.status);
}

void write_json(std::ostream& out, const std::vector<ListedMachine>& listed) {
  out << '[';
  const char* separator = "";
  for (const auto& [m, region] : listed) {
    const nlohmann::ordered_json element{{"id", m.id},
                                         {"name", m.name},
                                         {"region", region},
                                         {"image", m.image},
                                         {"port", m.port},
                                         {"status", state_text(m.status)},
                                         {"metadata", m.metadata}};
    out << separator << util::dump_json(element, util::JsonCharset::kAscii);
    separator = ",";
  }
  out << "]\n";
}

void write_table(std::ostream& out, const std::vector<ListedMachine>& listed) {
  out << std::left << std::setw(16) << "ID" << std::setw(24) << "NAME" << std::setw(10) << "STATE"
      << std::setw(8) << "REGION" << std::setw(7) << "PORT"
      << "METADATA\n";
  for (const auto& [m, region] : listed) {
    out << std::setw(16) << escape_for_terminal(m.id) << std::setw(24)
        << escape_for_terminal(m.name) << std::setw(10) << shown_state(m) << std::setw(8)
        << escape_for_terminal(region) << std::setw(7) << m.port
        << util::dump_json(m.metadata, util::JsonCharset::kAscii) << '\n';
  }
  out << listed.size() << (listed.size() == 1 ? " machine\n" : " machines\n");
}

}  // namespace

std::string state_text(container::ContainerState state) {
  return util::lower(container::to_string(state));
}

std::vector<std::string> filterable_states() {
  std::vector<std::string> states;
  for (const auto& [state, name] : container::kContainerStateNames) {
    if (state != container::ContainerState::UNKNOWN) states.push_back(util::lower(name));
  }
  return states;
}

void write_machine_list(std::ostream& out, const std::vector<ListedMachine>& listed,
                        ReportFormat format) {
  if (format == ReportFormat::kJson) {
    write_json(out, listed);
  } else {
    write_table(out, listed);
  }
}

}  // namespace quelmar::orchestrate::fleet
