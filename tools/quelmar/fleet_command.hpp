// quelmar fly plan|apply|addresses: the whole fleet of mediators at once.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "io.hpp"
#include "quelmar/orchestrate/adapter/machines.hpp"
#include "quelmar/orchestrate/fleet/inventory.hpp"
#include "quelmar/orchestrate/fleet/report_format.hpp"

namespace quelmar::cli {

// Builds the adapter core's settings from the parsed `fly` flags (token resolved).
using AdapterOptionsFn = std::function<orchestrate::adapter::vostrel::MachinesOptions()>;

// The inventory, or absent after its problems were printed: the first ones by line, then how
// many more there are.
std::optional<orchestrate::fleet::Inventory> load_inventory(
    const std::string& path, const Io& io,
    orchestrate::fleet::InventoryUse use = orchestrate::fleet::InventoryUse::kFleet);

// --json or not.
inline orchestrate::fleet::ReportFormat format_of(bool json) {
  return json ? orchestrate::fleet::ReportFormat::kJson : orchestrate::fleet::ReportFormat::kText;
}

void add_fleet_commands(CLI::App& fly, AdapterOptionsFn adapter_options, const Io& io, int& status);

}  // namespace quelmar::cli
