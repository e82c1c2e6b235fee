// Splitting inventory text into RFC 4180 records, one at a time, without copying the text.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "inventory_problems.hpp"

namespace quelmar::orchestrate::fleet::inventory {

struct Record {
  std::size_t line = 0;  // where it starts
  // Unquoted; each stays valid as long as the reader that read it.
  std::vector<std::string_view> fields{};
  bool malformed = false;  // its problem is reported
};

// Copies that stay where they are for the store's lifetime, in a few large blocks.
class StableText {
 public:
  std::string_view keep(std::string_view text);

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t free_ = 0;  // bytes left after next_
};

// Line ends may be CRLF, LF or CR; quoted fields may span lines. A field is a view into the
// text unless it held a doubled quote.
class RecordReader {
 public:
  // `text` must outlive the reader; syntax problems go to `problems`.
  RecordReader(std::string_view text, ProblemList& problems) : text_(text), problems_(problems) {}

  // Reads the next record that is not a blank line into `record`; false at the end of the text.
  bool next(Record& record);

 private:
  std::string_view quoted_field(Record& record);
  std::string_view unquoted_field(Record& record);
  bool at_line_end() const;
  void skip_line_end();

  std::string_view text_;
  ProblemList& problems_;
  std::size_t at_ = 0;
  std::size_t line_ = 1;
  StableText unquoted_;  // fields that held doubled quotes
};

}  // namespace quelmar::orchestrate::fleet::inventory
