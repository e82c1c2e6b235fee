#include "quelmar/util/prometheus_text.hpp"

#include <cstdio>

#include "quelmar/util/escape.hpp"

namespace quelmar::util::prometheus {

std::string escaped_label_text(std::string_view encoded) {
  std::string out;
  for (const char c : encoded) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string label_value(std::string_view text) {
  return escaped_label_text(escape_invalid_utf8(text));
}

std::string label(std::string_view name, std::string_view value) {
  return std::string(name) + "=\"" + label_value(value) + "\"";
}

void sample(std::string& out, std::string_view name, std::string_view labels,
            std::string_view value) {
  out.append(name);
  if (!labels.empty()) out.append("{").append(labels).append("}");
  out.append(" ").append(value).append("\n");
}

void gauge(std::string& out, std::string_view name, std::string_view help,
           std::string_view samples) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" gauge\n");
  out.append(samples);
}

std::string number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace quelmar::util::prometheus
