#include "inventory_records.hpp"

#include <algorithm>
#include <cstring>

namespace quelmar::orchestrate::fleet::inventory {

namespace {

constexpr std::size_t kBlockBytes = 64 << 10;

// The value of a quoted field's inside: each doubled quote stands for one.
std::string undoubled(std::string_view inside) {
  std::string value;
  value.reserve(inside.size());
  for (std::size_t i = 0; i < inside.size(); ++i) {
    value += inside[i];
    if (inside[i] == '"' && i + 1 < inside.size() && inside[i + 1] == '"') ++i;
  }
  return value;
}

}  // namespace

std::string_view StableText::keep(std::string_view text) {
  if (text.size() > free_) {
    const std::size_t size = std::max(kBlockBytes, text.size());
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    next_ = blocks_.back().get();
    free_ = size;
  }
  if (text.empty()) return {};
  std::memcpy(next_, text.data(), text.size());
  const std::string_view kept(next_, text.size());
  next_ += text.size();
  free_ -= text.size();
  return kept;
}

bool RecordReader::at_line_end() const {
  return at_ < text_.size() && (text_[at_] == '\n' || text_[at_] == '\r');
}

void RecordReader::skip_line_end() {
  if (text_[at_] == '\r' && at_ + 1 < text_.size() && text_[at_ + 1] == '\n') ++at_;
  ++at_;
  ++line_;
}

bool RecordReader::next(Record& record) {
  while (at_ < text_.size()) {
    record.line = line_;
    record.fields.clear();
    record.malformed = false;
    for (;;) {
      const bool quoted = at_ < text_.size() && text_[at_] == '"';
      record.fields.push_back(quoted ? quoted_field(record) : unquoted_field(record));
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_line_end()) skip_line_end();
      break;
    }
    const bool blank = record.fields.size() == 1 && record.fields[0].empty() && !record.malformed;
    if (!blank) return true;
  }
  return false;
}

std::string_view RecordReader::quoted_field(Record& record) {
  const std::size_t n = text_.size();
  const std::size_t opened_on = line_;
  const std::size_t inside = ++at_;
  bool doubled = false;
  bool closed = false;
  for (; at_ < n; ++at_) {
    if (text_[at_] == '"') {
      if (at_ + 1 < n && text_[at_ + 1] == '"') {
        doubled = true;
        ++at_;
        continue;
      }
      closed = true;
      break;
    }
    // A quoted line end is part of the field, and still a line of the file.
    if (text_[at_] == '\n' || (text_[at_] == '\r' && (at_ + 1 >= n || text_[at_ + 1] != '\n'))) {
      ++line_;
    }
  }
  const std::string_view raw = text_.substr(inside, at_ - inside);
  if (closed) ++at_;
  if (!closed) {
    problems_.add(opened_on, "quoted field is never closed");
    record.malformed = true;
  } else if (at_ < n && text_[at_] != ',' && !at_line_end()) {
    problems_.add(line_, "text after the closing quote of a field");
    record.malformed = true;
    while (at_ < n && !at_line_end()) ++at_;
  }
  return doubled ? unquoted_.keep(undoubled(raw)) : raw;
}

std::string_view RecordReader::unquoted_field(Record& record) {
  const std::size_t start = at_;
  bool stray_quote = false;
  while (at_ < text_.size() && text_[at_] != ',' && !at_line_end()) {
    if (text_[at_] == '"') stray_quote = true;
    ++at_;
  }
  if (stray_quote) {
    problems_.add(line_, "a quote inside an unquoted field");
    record.malformed = true;
  }
  return text_.substr(start, at_ - start);
}

}  // namespace quelmar::orchestrate::fleet::inventory
