#include "inventory_header.hpp"

#include <span>
#include <string>

namespace quelmar::orchestrate::fleet::inventory {

namespace {

constexpr std::array<std::string_view, kColumnCount> kColumnNames = {
    "meter_id",  "serial",    "ip_address",   "port",
    "cert_auth", "directory", "commissioned", "decommissioned"};
constexpr Column kFleetColumns[] = {Column::kMeterId, Column::kSerial, Column::kIpAddress};
constexpr Column kAuditColumns[] = {Column::kMeterId, Column::kDirectory};

std::optional<Column> column_named(std::string_view name) {
  for (std::size_t k = 0; k < kColumnCount; ++k) {
    if (kColumnNames[k] == name) return static_cast<Column>(k);
  }
  return std::nullopt;
}

}  // namespace

std::string_view column_name(Column column) {
  return kColumnNames[static_cast<std::size_t>(column)];
}

Header map_header(const Record& record, ProblemList& problems, InventoryUse use) {
  Header header{.line = record.line, .width = record.fields.size()};
  for (std::size_t k = 0; k < record.fields.size(); ++k) {
    const std::string_view name = record.fields[k];
    const auto column = column_named(name);
    if (!column) {
      problems.add(header.line, [&] { return "unknown column " + shown(name); });
      continue;
    }
    auto& position = header.positions[static_cast<std::size_t>(*column)];
    if (position) {
      problems.add(header.line, [&] { return "column " + shown(name) + " appears twice"; });
    } else {
      position = k;
    }
  }
  const std::span<const Column> required =
      use == InventoryUse::kFleet ? std::span<const Column>(kFleetColumns) : kAuditColumns;
  for (const Column column : required) {
    if (!header.position(column)) {
      problems.add(header.line,
                   [&] { return "missing column '" + std::string(column_name(column)) + "'"; });
    }
  }
  return header;
}

}  // namespace quelmar::orchestrate::fleet::inventory
