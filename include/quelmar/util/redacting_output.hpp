// An output stream that writes through to another with every registered secret
// (quelmar/util/secrets.hpp) redacted, however the text was put together: the CLI's stdout and
// stderr are such streams.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace quelmar::util {

class RedactingBuffer final : public std::streambuf {
 public:
  explicit RedactingBuffer(std::ostream& sink) : sink_(sink) {}
  ~RedactingBuffer() override;
  RedactingBuffer(const RedactingBuffer&) = delete;
  RedactingBuffer& operator=(const RedactingBuffer&) = delete;

  // Writes everything held to the sink without flushing the sink, so that the caller sees
  // the sink's own write error when it flushes.
  void drain() { write_out(true); }
  // The errno of the first write to the sink that failed; 0 when none did (or it was unknown).
  int first_error() const { return first_error_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  // Writes what can be decided now: complete lines, or all but a tail long enough to hold a
  // secret cut in two; everything when `all`.
  void write_out(bool all);
  void note_failure();

  std::ostream& sink_;
  // Text not yet written; its first `context_` characters were written already and are kept
  // only so that a secret's word boundary can be judged.
  std::string pending_;
  std::size_t context_ = 0;
  int first_error_ = 0;
  bool failed_ = false;
};

class RedactingStream final : public std::ostream {
 public:
  explicit RedactingStream(std::ostream& sink) : std::ostream(nullptr), buffer_(sink) {
    rdbuf(&buffer_);
  }
  void drain() { buffer_.drain(); }
  int first_error() const { return buffer_.first_error(); }

 private:
  RedactingBuffer buffer_;
};

}  // namespace quelmar::util
