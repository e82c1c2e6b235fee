// Pieces of the Prometheus text exposition format, for the files a node exporter's text-file
// collector reads.
#pragma once

#include <string>
#include <string_view>

namespace quelmar::util::prometheus {

// A label value: the bytes as JSON keys encode them (a backslash as "\\", a byte that is not
// UTF-8 as "\xNN"), then with backslash, double quote and line feed escaped.
std::string label_value(std::string_view text);

// The escaping alone, for a value whose bytes are already encoded that way.
std::string escaped_label_text(std::string_view encoded);

// `name="value"`, the value escaped.
std::string label(std::string_view name, std::string_view value);

// One sample line: `name{labels} value`, without braces when `labels` is empty.
void sample(std::string& out, std::string_view name, std::string_view labels,
            std::string_view value);

// A gauge family: its HELP and TYPE lines, then its samples (every series of a family
// together, as the format wants).
void gauge(std::string& out, std::string_view name, std::string_view help,
           std::string_view samples);

// `value` with `decimals` digits after the point.
std::string number(double value, int decimals);

}  // namespace quelmar::util::prometheus
