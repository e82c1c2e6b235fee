#include "inventory_rows.hpp"

#include <string>

#include "quelmar/orchestrate/adapter/vostrel.hpp"
#include "quelmar/util/control_characters.hpp"
#include "quelmar/util/ip_address.hpp"
#include "quelmar/util/port.hpp"
#include "quelmar/util/utf8.hpp"

namespace quelmar::orchestrate::fleet::inventory {

namespace {

// A machine name is at most 63 characters, the mediator prefix included.
constexpr std::size_t kMaxSerialLength =
    63 - std::char_traits<char>::length(adapter::vostrel::kMediatorPrefix);

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

Meter CheckedRow::to_meter() const {
  return Meter{.meter_id = std::string(meter_id),
               .serial = std::string(serial),
               .ip_address = std::string(ip_address),
               .port = port,
               .cert_auth = cert_auth,
               .line = line};
}

std::optional<std::string_view> RowChecker::value(const Record& record, Column column,
                                                  bool& row_ok) {
  const auto position = header_.position(column);
  if (!position) return std::nullopt;
  const std::string_view text = record.fields[*position];
  if (text.empty()) {
    problems_.add(record.line, [&] { return "missing value for " + name_of(column); });
  } else if (!util::is_valid_utf8(text)) {
    problems_.add(record.line,
                  [&] { return "value of " + name_of(column) + " is not valid UTF-8"; });
  } else if (util::has_control_character(text)) {
    problems_.add(record.line,
                  [&] { return "value of " + name_of(column) + " holds a control character"; });
  } else {
    return text;
  }
  row_ok = false;
  return std::nullopt;
}

bool RowChecker::first_time(std::unordered_map<std::string_view, std::size_t>& first_lines,
                            Column column, std::string_view value, std::size_t line) {
  const auto [first, fresh] = first_lines.emplace(value, line);
  if (fresh) return true;
  problems_.add(line, [&] {
    return "duplicate " + name_of(column) + " " + shown(value) + " (first on line " +
           std::to_string(first->second) + ")";
  });
  return false;
}

std::optional<CheckedRow> RowChecker::check(const Record& record) {
  if (record.malformed) return std::nullopt;  // already reported
  const std::size_t line = record.line;
  if (record.fields.size() != header_.width) {
    problems_.add(line, [&] {
      return "expected " + std::to_string(header_.width) + " fields, found " +
             std::to_string(record.fields.size());
    });
    return std::nullopt;
  }
  CheckedRow row{.line = line};
  bool row_ok = true;
  if (const auto id = value(record, Column::kMeterId, row_ok)) {
    row.meter_id = *id;
    row_ok = first_time(meter_id_lines_, Column::kMeterId, *id, line) && row_ok;
  }
  if (const auto serial = value(record, Column::kSerial, row_ok)) {
    row.serial = *serial;
    if (!valid_serial(*serial)) {
      problems_.add(line, [&] {
        return "serial " + shown(*serial) +
               " cannot form a machine name (letters, digits, '-' and '_', at most " +
               std::to_string(kMaxSerialLength) + " characters)";
      });
      row_ok = false;
    }
    row_ok = first_time(serial_lines_, Column::kSerial, *serial, line) && row_ok;
  }
  if (const auto ip = value(record, Column::kIpAddress, row_ok)) {
    row.ip_address = *ip;
    if (!util::is_ip_address(*ip)) {
      problems_.add(line, [&] { return "bad IP address " + shown(*ip); });
      row_ok = false;
    }
  }
  if (const auto port = value(record, Column::kPort, row_ok)) {
    if (const auto parsed = util::parse_port(*port)) {
      row.port = *parsed;
    } else {
      problems_.add(line, [&] { return "bad port " + shown(*port) + " (a number in 1..65535)"; });
      row_ok = false;
    }
  }
  if (const auto cert_auth = value(record, Column::kCertAuth, row_ok)) {
    if (*cert_auth == "true" || *cert_auth == "false") {
      row.cert_auth = *cert_auth == "true";
    } else {
      problems_.add(line,
                    [&] { return "bad cert_auth " + shown(*cert_auth) + " (true or false)"; });
      row_ok = false;
    }
  }
  if (!row_ok) return std::nullopt;
  return row;
}

}  // namespace quelmar::orchestrate::fleet::inventory
