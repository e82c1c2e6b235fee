#include "inventory_rows.hpp"

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <utility>

#include "quelmar/util/calendar.hpp"
#include "quelmar/util/control_characters.hpp"
#include "quelmar/util/ip_address.hpp"
#include "quelmar/util/port.hpp"
#include "quelmar/util/relative_path.hpp"
#include "quelmar/util/utf8.hpp"

namespace quelmar::orchestrate::fleet::inventory {

namespace {

constexpr std::size_t kMaxSerialLength = MAX_SERIAL_LENGTH;

bool valid_serial(std::string_view serial) {
  if (serial.empty() || serial.size() > kMaxSerialLength) return false;
  for (char c : serial) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string name_of(Column column) { return std::string(column_name(column)); }

}  // namespace

std::optional<std::string> directory_of(std::string_view value, std::string& problem) {
  auto path = util::decode_path_key(value, problem);
  if (!path) return std::nullopt;
  if (auto why = util::relative_path_problem(*path, /*root_allowed=*/false)) {
    problem = "not a path below the root: " + *why;
    return std::nullopt;
  }
  return path;
}

Meter meter_of(const Record& record, const Header& header) {
  const auto text = [&](Column column) -> std::string_view {
    const auto position = header.position(column);
    return position ? record.fields[*position] : std::string_view();
  };
  std::string unused;
  const std::string_view directory = text(Column::kDirectory);
  return Meter{.meter_id = std::string(text(Column::kMeterId)),
               .serial = std::string(text(Column::kSerial)),
               .ip_address = std::string(text(Column::kIpAddress)),
               .port = util::parse_port(text(Column::kPort)).value_or(DEFAULT_METER_PORT),
               .cert_auth = text(Column::kCertAuth) == "true",
               .line = record.line,
               .directory = directory.empty() ? "" : directory_of(directory, unused).value_or(""),
               .commissioned = util::parse_iso_date(text(Column::kCommissioned)),
               .decommissioned = util::parse_iso_date(text(Column::kDecommissioned))};
}

std::optional<std::string_view> RowChecker::optional_value(const Record& record, Column column,
                                                           bool& row_ok) {
  const auto position = header_.position(column);
  if (!position || record.fields[*position].empty()) return std::nullopt;
  return value(record, column, row_ok);
}

std::optional<std::string_view> RowChecker::value(const Record& record, Column column,
                                                  bool& row_ok) {
  const auto position = header_.position(column);
  if (!position) return std::nullopt;
  const std::string_view text = record.fields[*position];
  // An empty cell of an optional column takes the column's default.
  const bool optional = column == Column::kPort || column == Column::kCertAuth;
  if (text.empty() && optional) return std::nullopt;
  if (text.empty()) {
    report(record.line, column, [&] { return "missing value for " + name_of(column); });
  } else if (!util::is_valid_utf8(text)) {
    report(record.line, column,
           [&] { return "value of " + name_of(column) + " is not valid UTF-8"; });
  } else if (util::has_control_character(text)) {
    report(record.line, column,
           [&] { return "value of " + name_of(column) + " holds a control character"; });
  } else {
    return text;
  }
  row_ok = false;
  return std::nullopt;
}

void RowChecker::report_repeats() {
  report_repeats(meter_ids_, Column::kMeterId);
  report_repeats(serials_, Column::kSerial);
  report_repeats(directories_, Column::kDirectory);
}

void RowChecker::report_repeats(std::vector<Seen>& seen, Column column) {
  // Integers compare fast, even when a million rows hold the same value.
  std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) {
    return std::pair(a.hash, a.line) < std::pair(b.hash, b.line);
  });
  for (auto run = seen.begin(); run != seen.end();) {
    const auto end =
        std::find_if(run, seen.end(), [&](const Seen& s) { return s.hash != run->hash; });
    // Different values that share a hash: each value's rows together, in line order.
    if (std::any_of(run, end, [&](const Seen& s) { return s.value != run->value; })) {
      std::sort(run, end, [](const Seen& a, const Seen& b) {
        return std::tie(a.value, a.line) < std::tie(b.value, b.line);
      });
    }
    for (auto first = run, k = run + 1; k != end; ++k) {
      if (k->value != first->value) {
        first = k;
        continue;
      }
      report(k->line, column, [&] {
        return "duplicate " + name_of(column) + " " + shown(k->value) + " (first on line " +
               std::to_string(first->line) + ")";
      });
    }
    run = end;
  }
  seen = {};
}

bool RowChecker::check(const Record& record) {
  if (record.malformed) return false;  // already reported
  const std::size_t line = record.line;
  if (record.fields.size() != header_.width) {
    problems_.add(line, [&] {
      return "expected " + std::to_string(header_.width) + " fields, found " +
             std::to_string(record.fields.size());
    });
    return false;
  }
  bool row_ok = true;
  if (const auto id = value(record, Column::kMeterId, row_ok)) {
    meter_ids_.push_back({std::hash<std::string_view>{}(*id), *id, line});
  }
  if (use_ == InventoryUse::kFleet) check_fleet_columns(record, row_ok);
  check_registry_columns(record, row_ok);
  return row_ok;
}

void RowChecker::check_fleet_columns(const Record& record, bool& row_ok) {
  const std::size_t line = record.line;
  if (const auto serial = value(record, Column::kSerial, row_ok)) {
    if (!valid_serial(*serial)) {
      report(line, Column::kSerial, [&] {
        return "serial " + shown(*serial) +
               " cannot form a machine name (letters, digits, '-' and '_', at most " +
               std::to_string(kMaxSerialLength) + " characters)";
      });
      row_ok = false;
    }
    serials_.push_back({std::hash<std::string_view>{}(*serial), *serial, line});
  }
  if (const auto ip = value(record, Column::kIpAddress, row_ok)) {
    if (!util::is_ip_address(*ip)) {
      report(line, Column::kIpAddress, [&] { return "bad IP address " + shown(*ip); });
      row_ok = false;
    }
  }
  if (const auto port = value(record, Column::kPort, row_ok)) {
    if (!util::parse_port(*port)) {
      report(line, Column::kPort,
             [&] { return "bad port " + shown(*port) + " (a number in 1..65535)"; });
      row_ok = false;
    }
  }
  if (const auto cert_auth = value(record, Column::kCertAuth, row_ok)) {
    if (*cert_auth != "true" && *cert_auth != "false") {
      report(line, Column::kCertAuth,
             [&] { return "bad cert_auth " + shown(*cert_auth) + " (true or false)"; });
      row_ok = false;
    }
  }
}

// The columns the audit of profile logs uses; a directory may be left empty (not audited),
// and so may either end of the service.
void RowChecker::check_registry_columns(const Record& record, bool& row_ok) {
  const std::size_t line = record.line;
  if (const auto directory = optional_value(record, Column::kDirectory, row_ok)) {
    std::string problem;
    if (const auto path = directory_of(*directory, problem)) {
      const std::string_view kept = directory_text_.keep(*path);
      directories_.push_back({std::hash<std::string_view>{}(kept), kept, line});
    } else {
      report(line, Column::kDirectory,
             [&] { return "directory " + shown(*directory) + ": " + problem; });
      row_ok = false;
    }
  }
  std::optional<std::chrono::year_month_day> days[2];
  const Column ends[2] = {Column::kCommissioned, Column::kDecommissioned};
  for (int i = 0; i < 2; ++i) {
    const auto text = optional_value(record, ends[i], row_ok);
    if (!text) continue;
    days[i] = util::parse_iso_date(*text);
    if (!days[i]) {
      report(line, ends[i],
             [&] { return "bad " + name_of(ends[i]) + " " + shown(*text) + " (YYYY-MM-DD)"; });
      row_ok = false;
    }
  }
  if (days[0] && days[1] && std::chrono::sys_days{*days[1]} < std::chrono::sys_days{*days[0]}) {
    report(line, Column::kDecommissioned, [&] {
      return "decommissioned " + std::string(record.fields[*header_.position(ends[1])]) +
             " is before commissioned " + std::string(record.fields[*header_.position(ends[0])]);
    });
    row_ok = false;
  }
}

}  // namespace quelmar::orchestrate::fleet::inventory
