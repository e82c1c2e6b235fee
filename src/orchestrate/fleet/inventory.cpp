// The inventory read in one pass: records, the header, then each row as it comes.

#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "inventory_header.hpp"
#include "inventory_problems.hpp"
#include "inventory_records.hpp"
#include "inventory_rows.hpp"
#include "quelmar/orchestrate/fleet.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

constexpr std::size_t kMaxInventoryBytes = 64u << 20;

// Moves the rows over one at a time, so that the rows and their meters are never all held at
// once: at a million rows, the difference is a hundred megabytes.
std::vector<Meter> to_meters(std::deque<inventory::CheckedRow>& rows) {
  std::vector<Meter> meters;
  meters.reserve(rows.size());
  while (!rows.empty()) {
    meters.push_back(rows.front().to_meter());
    rows.pop_front();
  }
  return meters;
}

}  // namespace

std::string mediator_name(const std::string& serial) {
  return adapter::vostrel::kMediatorPrefix + serial;
}

Inventory parse_inventory(std::string_view text) {
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
  const inventory::Header header = inventory::map_header(record, problems);
  inventory::RowChecker checker(header, problems);
  // Views into the text: a file with problems yields no meters, so none are built before the
  // last row is checked.
  std::deque<inventory::CheckedRow> rows;
  bool any_row = false;
  while (records.next(record)) {
    any_row = true;
    const auto row = checker.check(record);
    if (row && problems.empty()) {
      rows.push_back(*row);
    } else {
      rows.clear();
    }
  }
  if (!any_row) problems.add(header.line, "no meter rows");
  if (problems.empty()) result.meters = to_meters(rows);
  std::move(problems).report_to(result);
  return result;
}

Inventory read_inventory(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read the inventory " + path);
  std::string text;
  std::error_code size_error;
  const auto size = std::filesystem::file_size(path, size_error);
  if (!size_error && size <= kMaxInventoryBytes) text.reserve(size);
  char buffer[1 << 16];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(file.gcount()));
    if (text.size() > kMaxInventoryBytes) {
      throw std::runtime_error("the inventory " + path + " is larger than 64 MiB");
    }
  }
  if (file.bad()) throw std::runtime_error("cannot read the inventory " + path);
  return parse_inventory(text);
}

}  // namespace quelmar::orchestrate::fleet
