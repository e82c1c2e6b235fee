// Keeps API tokens out of anything that may be shown: messages, logs, echoed
// platform answers. Applied where text leaves the program, never to data.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quelmar::util {

inline constexpr std::string_view kRedacted = "[redacted]";

class Redactor {
 public:
  // Hides the token and, for a "FlyV1 " token, also its body after the prefix
  // and each of its comma-separated parts (trimmed), since a server may echo
  // any of them on its own. Empty and blank texts are ignored.
  void add_token(std::string_view token);

  // Every occurrence of a secret becomes kRedacted; overlapping occurrences
  // become one. A secret shorter than kShortSecret characters is replaced
  // only where it stands as a whole word (not inside a longer run of letters,
  // digits, '_' or '-'), so that a token like "x" does not garble every text.
  std::string redact(std::string_view text) const;

  // For text that leaves in pieces: appends the redaction of text[from, end) to `out` and
  // returns `end`, the first position at or after `until` that no occurrence straddles.
  // text[0, from) is context that was written before; `until` must leave at least
  // longest_secret() + 1 characters after it, so that every occurrence it ends is decided.
  std::size_t redact_prefix(std::string_view text, std::size_t from, std::size_t until,
                            std::string& out) const;

  std::size_t longest_secret() const;
  bool empty() const { return secrets_.empty(); }

  static constexpr std::size_t kShortSecret = 8;

 private:
  std::vector<std::string> secrets_;
};

}  // namespace quelmar::util
