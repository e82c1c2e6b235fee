// The inventory read in two passes over its text: the first checks the header and every row as
// it comes, the second builds the meters of a file without problems.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "inventory_header.hpp"
#include "inventory_problems.hpp"
#include "inventory_records.hpp"
#include "inventory_rows.hpp"
#include "quelmar/orchestrate/fleet/inventory.hpp"
#include "quelmar/util/sha256.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

constexpr std::size_t kMaxInventoryBytes = 64u << 20;

// The meters of a text whose rows have all been checked, in a second pass: holding the rows
// until the last one is checked would cost as much memory as the meters themselves.
std::vector<Meter> meters_of(std::string_view text, const inventory::Header& header,
                             std::size_t rows) {
  inventory::ProblemList none(0);
  inventory::RecordReader records(text, none);
  inventory::Record record;
  records.next(record);  // the header
  std::vector<Meter> meters;
  meters.reserve(rows);
  while (records.next(record)) meters.push_back(inventory::meter_of(record, header));
  return meters;
}

}  // namespace

bool in_service(const Meter& meter, std::chrono::year_month_day day) {
  const std::chrono::sys_days on{day};
  if (meter.commissioned && on < std::chrono::sys_days{*meter.commissioned}) return false;
  return !meter.decommissioned || on <= std::chrono::sys_days{*meter.decommissioned};
}

std::vector<Meter> in_service(const std::vector<Meter>& meters, std::chrono::year_month_day day) {
  std::vector<Meter> kept;
  kept.reserve(meters.size());
  for (const Meter& meter : meters) {
    if (in_service(meter, day)) kept.push_back(meter);
  }
  return kept;
}

Inventory parse_inventory(std::string_view text, InventoryUse use) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  inventory::ProblemList problems(MAX_INVENTORY_PROBLEMS);
  inventory::RecordReader records(text, problems);
  Inventory result;
  inventory::Record record;
  if (!records.next(record)) {
    problems.add(1, "no header row");
    std::move(problems).report_to(result);
    return result;
  }
  const inventory::Header header = inventory::map_header(record, problems, use);
  std::size_t rows = 0;
  {
    inventory::RowChecker checker(header, problems, use);
    for (; records.next(record); ++rows) checker.check(record);
    checker.report_repeats();
  }
  if (rows == 0) problems.add(header.line, "no meter rows");
  if (problems.empty()) result.meters = meters_of(text, header, rows);
  std::move(problems).report_to(result);
  return result;
}

namespace {

// `reserve`: the expected size, when known.
Inventory read_bounded(std::istream& in, const std::string& name, std::size_t reserve,
                       InventoryUse use) {
  std::string text;
  text.reserve(std::min(reserve, kMaxInventoryBytes));
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxInventoryBytes) {
      throw std::runtime_error("the inventory " + name + " is larger than 64 MiB");
    }
  }
  if (in.bad()) throw std::runtime_error("cannot read the inventory " + name);
  Inventory inventory = parse_inventory(text, use);
  inventory.sha256 = util::sha256_hex(text);
  return inventory;
}

}  // namespace

Inventory read_inventory(const std::string& path, InventoryUse use) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read the inventory " + path);
  std::error_code size_error;
  const auto size = std::filesystem::file_size(path, size_error);
  return read_bounded(file, path, size_error ? 0 : static_cast<std::size_t>(size), use);
}

Inventory read_inventory(std::istream& in, const std::string& name, InventoryUse use) {
  return read_bounded(in, name, 0, use);
}

}  // namespace quelmar::orchestrate::fleet
