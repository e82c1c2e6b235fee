#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "quelmar/orchestrate/fleet.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

constexpr std::size_t kMaxInventoryBytes = 64u << 20;
constexpr std::size_t kMaxShownValue = 64;
// A machine name is at most 63 characters, the mediator prefix included.
constexpr std::size_t kMaxSerialLength =
    63 - std::char_traits<char>::length(adapter::vostrel::kMediatorPrefix);

const char* const kColumns[] = {"meter_id", "serial", "ip_address", "port", "cert_auth"};
const char* const kRequiredColumns[] = {"meter_id", "serial", "ip_address"};

struct Record {
  std::size_t line = 0;
  std::vector<std::string> fields;
  bool malformed = false;
};

class Problems {
 public:
  explicit Problems(std::vector<InventoryProblem>& list) : list_(list) {}
  void add(std::size_t line, std::string message) { list_.push_back({line, std::move(message)}); }

 private:
  std::vector<InventoryProblem>& list_;
};

// A value as a message shows it: quoted, and cut short when long.
std::string shown(const std::string& value) {
  if (value.size() <= kMaxShownValue) return "'" + value + "'";
  return "'" + value.substr(0, kMaxShownValue) + "...'";
}

bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead >> 5) == 0x6) {
      length = 2, code = lead & 0x1f;
    } else if ((lead >> 4) == 0xe) {
      length = 3, code = lead & 0x0f;
    } else if ((lead >> 3) == 0x1e) {
      length = 4, code = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next >> 6) != 0x2) return false;
      code = (code << 6) | (next & 0x3f);
    }
    const bool overlong = (length == 2 && code < 0x80) || (length == 3 && code < 0x800) ||
                          (length == 4 && code < 0x10000);
    if (overlong || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    i += length;
  }
  return true;
}

bool has_control(const std::string& text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return true;
  }
  return false;
}

// RFC 4180 records, each with the line it starts on. Line ends may be CRLF, LF or CR; quoted
// fields may span lines.
std::vector<Record> split_records(std::string_view text, Problems& problems) {
  std::vector<Record> records;
  std::size_t i = 0;
  std::size_t line = 1;
  const std::size_t n = text.size();
  auto at_line_end = [&] { return i < n && (text[i] == '\n' || text[i] == '\r'); };
  auto skip_line_end = [&] {
    if (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
    ++i;
    ++line;
  };
  while (i < n) {
    Record record{line, {}, false};
    for (;;) {
      std::string field;
      if (i < n && text[i] == '"') {
        const std::size_t opened_on = line;
        bool closed = false;
        for (++i; i < n; ++i) {
          if (text[i] == '"') {
            if (i + 1 < n && text[i + 1] == '"') {
              field += '"';
              ++i;
              continue;
            }
            closed = true;
            ++i;
            break;
          }
          if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= n || text[i + 1] != '\n'))) ++line;
          field += text[i];
        }
        if (!closed) {
          problems.add(opened_on, "quoted field is never closed");
          record.malformed = true;
        } else if (i < n && text[i] != ',' && !at_line_end()) {
          problems.add(line, "text after the closing quote of a field");
          record.malformed = true;
          while (i < n && !at_line_end()) ++i;
        }
      } else {
        bool stray_quote = false;
        while (i < n && text[i] != ',' && !at_line_end()) {
          if (text[i] == '"') stray_quote = true;
          field += text[i++];
        }
        if (stray_quote) {
          problems.add(line, "a quote inside an unquoted field");
          record.malformed = true;
        }
      }
      record.fields.push_back(std::move(field));
      if (i < n && text[i] == ',') {
        ++i;
        continue;
      }
      if (at_line_end()) skip_line_end();
      break;
    }
    const bool blank = record.fields.size() == 1 && record.fields[0].empty() && !record.malformed;
    if (!blank) records.push_back(std::move(record));
  }
  return records;
}

bool valid_ip(const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

std::optional<int> parse_port(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return value;
}

bool valid_serial(const std::string& serial) {
  if (serial.empty() || serial.size() > kMaxSerialLength) return false;
  for (char c : serial) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string mediator_name(const std::string& serial) {
  return adapter::vostrel::kMediatorPrefix + serial;
}

Inventory parse_inventory(std::string_view text) {
  Inventory inventory;
  Problems problems(inventory.problems);
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  const std::vector<Record> records = split_records(text, problems);
  if (records.empty()) {
    problems.add(1, "no header row");
    return inventory;
  }

  // Header: column name -> position.
  const Record& header = records.front();
  std::map<std::string, std::size_t> column;
  for (std::size_t k = 0; k < header.fields.size(); ++k) {
    const std::string& name = header.fields[k];
    const bool known =
        std::find(std::begin(kColumns), std::end(kColumns), name) != std::end(kColumns);
    if (!known) {
      problems.add(header.line, "unknown column " + shown(name));
    } else if (!column.emplace(name, k).second) {
      problems.add(header.line, "column " + shown(name) + " appears twice");
    }
  }
  for (const char* name : kRequiredColumns) {
    if (column.count(name) == 0) {
      problems.add(header.line, std::string("missing column '") + name + "'");
    }
  }

  std::map<std::string, std::size_t> meter_lines;
  std::map<std::string, std::size_t> serial_lines;
  for (std::size_t r = 1; r < records.size(); ++r) {
    const Record& record = records[r];
    if (record.malformed) continue;  // already reported
    const std::size_t line = record.line;
    if (record.fields.size() != header.fields.size()) {
      problems.add(line, "expected " + std::to_string(header.fields.size()) + " fields, found " +
                             std::to_string(record.fields.size()));
      continue;
    }
    Meter meter;
    meter.line = line;
    bool row_ok = true;
    // The value of a column that is present, after the checks every value gets.
    auto value = [&](const char* name) -> std::optional<std::string> {
      auto found = column.find(name);
      if (found == column.end()) return std::nullopt;
      const std::string& text_value = record.fields[found->second];
      if (text_value.empty()) {
        problems.add(line, std::string("missing value for ") + name);
      } else if (!valid_utf8(text_value)) {
        problems.add(line, std::string("value of ") + name + " is not valid UTF-8");
      } else if (has_control(text_value)) {
        problems.add(line, std::string("value of ") + name + " holds a control character");
      } else {
        return text_value;
      }
      row_ok = false;
      return std::nullopt;
    };

    if (auto id = value("meter_id")) {
      meter.meter_id = *id;
      auto [first, fresh] = meter_lines.emplace(*id, line);
      if (!fresh) {
        problems.add(line, "duplicate meter_id " + shown(*id) + " (first on line " +
                               std::to_string(first->second) + ")");
        row_ok = false;
      }
    }
    if (auto serial = value("serial")) {
      meter.serial = *serial;
      if (!valid_serial(*serial)) {
        problems.add(line, "serial " + shown(*serial) +
                               " cannot form a machine name (letters, digits, '-' and '_', at "
                               "most " +
                               std::to_string(kMaxSerialLength) + " characters)");
        row_ok = false;
      }
      auto [first, fresh] = serial_lines.emplace(*serial, line);
      if (!fresh) {
        problems.add(line, "duplicate serial " + shown(*serial) + " (first on line " +
                               std::to_string(first->second) + ")");
        row_ok = false;
      }
    }
    if (auto ip = value("ip_address")) {
      meter.ip_address = *ip;
      if (!valid_ip(*ip)) {
        problems.add(line, "bad IP address " + shown(*ip));
        row_ok = false;
      }
    }
    if (auto port = value("port")) {
      if (auto parsed = parse_port(*port)) {
        meter.port = *parsed;
      } else {
        problems.add(line, "bad port " + shown(*port) + " (a number in 1..65535)");
        row_ok = false;
      }
    }
    if (auto cert_auth = value("cert_auth")) {
      if (*cert_auth == "true" || *cert_auth == "false") {
        meter.cert_auth = *cert_auth == "true";
      } else {
        problems.add(line, "bad cert_auth " + shown(*cert_auth) + " (true or false)");
        row_ok = false;
      }
    }
    if (row_ok) inventory.meters.push_back(std::move(meter));
  }
  if (!inventory.problems.empty()) inventory.meters.clear();
  std::stable_sort(inventory.problems.begin(), inventory.problems.end(),
                   [](const auto& a, const auto& b) { return a.line < b.line; });
  return inventory;
}

Inventory read_inventory(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read the inventory " + path);
  std::string text;
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
