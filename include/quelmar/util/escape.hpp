// Rendering text that came from outside (platform answers, DNS errors, file
// names) so that it can neither drive a terminal nor pass for other text.
#pragma once

#include <string>
#include <string_view>

namespace quelmar::util {

// Inert, unambiguous, one-line form for a terminal or a log line:
// - a backslash becomes "\\";
// - bytes that are not part of valid UTF-8 become "\xNN" (two lower-case hex digits);
// - C0 controls and DEL become "\xNN" too;
// - C1 controls, the bidirectional embeddings, overrides and isolates (U+202A-U+202E,
//   U+2066-U+2069) and the line and paragraph separators (U+2028, U+2029) become "\u{XXXX}".
// Everything else passes unchanged. Two different inputs never give the same output.
std::string escape_for_terminal(std::string_view text);

// Valid UTF-8 for a JSON string that still tells every input apart: a backslash becomes "\\"
// and each byte that is not part of valid UTF-8 becomes "\xNN"; all else passes unchanged
// (JSON escapes controls itself). Reversible: see unescape_invalid_utf8.
std::string escape_invalid_utf8(std::string_view text);

// The bytes that escape_invalid_utf8 was given back.
std::string unescape_invalid_utf8(std::string_view text);

}  // namespace quelmar::util
