#include "quelmar/util/redacting_output.hpp"

#include <cerrno>

#include "quelmar/util/secrets.hpp"

namespace quelmar::util {

namespace {
// Text without a line end is written in pieces of about this size, so that one long line (a
// large JSON document) is never held whole.
constexpr std::size_t kLongLine = 64u << 10;
}  // namespace

RedactingBuffer::~RedactingBuffer() { write_out(true); }

RedactingBuffer::int_type RedactingBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  pending_.push_back(traits_type::to_char_type(c));
  if (c == '\n' || pending_.size() >= kLongLine) write_out(false);
  return c;
}

std::streamsize RedactingBuffer::xsputn(const char* text, std::streamsize count) {
  pending_.append(text, static_cast<std::size_t>(count));
  const std::string_view added(text, static_cast<std::size_t>(count));
  if (added.find('\n') != std::string_view::npos || pending_.size() >= kLongLine) {
    write_out(false);
  }
  return count;
}

int RedactingBuffer::sync() {
  write_out(true);
  errno = 0;
  sink_.flush();
  note_failure();
  return sink_ ? 0 : -1;
}

// Why the sink failed is known only right after it did; it is reported when the command ends.
void RedactingBuffer::note_failure() {
  if (sink_ || failed_) return;
  failed_ = true;
  first_error_ = errno;
}

void RedactingBuffer::write_out(bool all) {
  if (pending_.size() <= context_) return;
  const auto secrets = current_secrets();
  std::size_t until = pending_.size();
  if (!all) {
    const std::size_t line_end = pending_.rfind('\n');
    if (line_end != std::string::npos && line_end >= context_) {
      until = line_end + 1;
    } else {
      const std::size_t margin = secrets->longest_secret() + 1;
      if (pending_.size() < kLongLine || pending_.size() <= context_ + margin) return;
      until = pending_.size() - margin;
    }
  }
  std::string out;
  const std::size_t end = secrets->redact_prefix(pending_, context_, until, out);
  errno = 0;
  sink_ << out;
  note_failure();
  // One character stays as the left context of what follows.
  pending_.erase(0, end - 1);
  context_ = 1;
}

}  // namespace quelmar::util
