#include "quelmar/util/token_reading.hpp"

#include "quelmar/util/control_characters.hpp"
#include "quelmar/util/file_reading.hpp"

namespace quelmar::util {

namespace {

// One line end, as an editor or `echo` leaves it.
std::string without_line_end(std::string text) {
  if (text.ends_with('\n')) text.pop_back();
  if (text.ends_with('\r')) text.pop_back();
  return text;
}

// Refuses what cannot be a token. Never quotes it.
void check_token(const std::string& token) {
  if (token.empty()) throw TokenRefused("holds no token");
  if (has_control_character(token)) {
    throw TokenRefused("holds more than one line or a control character");
  }
}

}  // namespace

std::string read_token_file(const std::filesystem::path& path) {
  std::string token;
  try {
    token = without_line_end(
        read_whole_file(path, {.max_bytes = kMaxTokenBytes, .only_owner_writes = true}));
  } catch (const FileRefused& e) {
    throw TokenRefused(e.what());
  }
  check_token(token);
  return token;
}

std::string read_token_line(std::istream& in) {
  std::string line;
  bool ended = false;
  for (char c; in.get(c);) {
    if (c == '\n') {
      ended = true;
      break;
    }
    if (line.size() == kMaxTokenBytes) throw TokenRefused("the token line is too long");
    line.push_back(c);
  }
  if (!ended && line.empty()) throw TokenRefused("no token (end of input)");
  if (line.ends_with('\r')) line.pop_back();
  check_token(line);
  return line;
}

}  // namespace quelmar::util
