// Checking the inventory's rows, one at a time: every value, and meter ids and serials unique
// across the file.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "inventory_header.hpp"
#include "inventory_problems.hpp"
#include "inventory_records.hpp"
#include "quelmar/orchestrate/fleet.hpp"

namespace quelmar::orchestrate::fleet::inventory {

// A row without problems; its texts are views into the record's fields.
struct CheckedRow {
  std::string_view meter_id{};
  std::string_view serial{};
  std::string_view ip_address{};
  int port = DEFAULT_METER_PORT;
  bool cert_auth = false;
  std::size_t line = 0;

  Meter to_meter() const;
};

class RowChecker {
 public:
  // The fields of every record checked must stay valid while the checker lives (the reader's
  // do): it remembers meter ids and serials by view.
  RowChecker(const Header& header, ProblemList& problems) : header_(header), problems_(problems) {}

  // The row, or nothing once its problems are in the list.
  std::optional<CheckedRow> check(const Record& record);

 private:
  // The value of a column the header has, when it is non-empty UTF-8 without controls.
  std::optional<std::string_view> value(const Record& record, Column column, bool& row_ok);
  // Whether `value` is new in `first_lines`; otherwise reports where it was first.
  bool first_time(std::unordered_map<std::string_view, std::size_t>& first_lines, Column column,
                  std::string_view value, std::size_t line);

  const Header& header_;
  ProblemList& problems_;
  std::unordered_map<std::string_view, std::size_t> meter_id_lines_;
  std::unordered_map<std::string_view, std::size_t> serial_lines_;
};

}  // namespace quelmar::orchestrate::fleet::inventory
