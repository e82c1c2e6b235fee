// Checking the inventory's rows, one at a time: every value, and meter ids and serials unique
// across the file.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "inventory_header.hpp"
#include "inventory_problems.hpp"
#include "inventory_records.hpp"
#include "quelmar/orchestrate/fleet/meter.hpp"

namespace quelmar::orchestrate::fleet::inventory {

// The meter of a record that RowChecker::check passed.
Meter meter_of(const Record& record, const Header& header);

// A meter's directory as bytes, or why it names no directory below the root.
std::optional<std::string> directory_of(std::string_view value, std::string& problem);

class RowChecker {
 public:
  // The fields of every record checked must stay valid while the checker lives (the reader's
  // do): it remembers meter ids and serials by view.
  RowChecker(const Header& header, ProblemList& problems, InventoryUse use = InventoryUse::kFleet)
      : header_(header), problems_(problems), use_(use) {}

  // Whether the row is good; otherwise its problems are in the list. Repeated meter ids and
  // serials are found only by report_repeats.
  bool check(const Record& record);

  // After the last row: each meter id, serial and directory that an earlier row has, as a
  // problem of the later row's, listed with its column's other problems.
  void report_repeats();

 private:
  // A value seen in a column, compared by hash first: at a million rows, sorting these is many
  // times faster and smaller than a node per value in a hash map.
  struct Seen {
    std::size_t hash = 0;
    std::string_view value{};
    std::size_t line = 0;
  };

  // A problem of a column's value. A row's problems are listed in column order, those of the
  // record as a whole first.
  template <typename Message>
  void report(std::size_t line, Column column, Message&& message) {
    problems_.add(line, std::forward<Message>(message), static_cast<std::size_t>(column) + 1);
  }
  // The value of a column the header has, when it is non-empty UTF-8 without controls.
  std::optional<std::string_view> value(const Record& record, Column column, bool& row_ok);
  // The same for a column that may be left empty: absent then, and no problem.
  std::optional<std::string_view> optional_value(const Record& record, Column column, bool& row_ok);
  void check_fleet_columns(const Record& record, bool& row_ok);
  void check_registry_columns(const Record& record, bool& row_ok);
  void report_repeats(std::vector<Seen>& seen, Column column);

  const Header& header_;
  ProblemList& problems_;
  InventoryUse use_;
  std::vector<Seen> meter_ids_;
  std::vector<Seen> serials_;
  std::vector<Seen> directories_;  // decoded, kept in directory_text_
  StableText directory_text_;
};

}  // namespace quelmar::orchestrate::fleet::inventory
