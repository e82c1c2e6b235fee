// Keeps API tokens out of anything that may be shown: messages, logs, echoed
// platform answers.
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

  static constexpr std::size_t kShortSecret = 8;

 private:
  std::vector<std::string> secrets_;
};

}  // namespace quelmar::util
