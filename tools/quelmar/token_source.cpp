#include "token_source.hpp"

#include "commands.hpp"
#include "quelmar/util/control_characters.hpp"
#include "quelmar/util/file_reading.hpp"

namespace quelmar::cli {

namespace {

// One line end, as an editor or `echo` leaves it.
std::string without_line_end(std::string text) {
  if (text.ends_with('\n')) text.pop_back();
  if (text.ends_with('\r')) text.pop_back();
  return text;
}

// Why `token` cannot be one, or empty. Never quotes the token.
std::string token_problem(const std::string& token) {
  if (token.empty()) return "holds no token";
  if (util::has_control_character(token)) return "holds more than one line or a control character";
  return {};
}

// How a refused --token-file is named: a token given there by mistake is not repeated.
std::string file_name_for_messages(const std::string& path) {
  const bool looks_like_token = path.starts_with("FlyV1") || path.starts_with("fm1") ||
                                path.starts_with("fm2_") || path.find(",fm2_") != std::string::npos;
  return looks_like_token ? "--token-file (a token, not a file name?)" : path;
}

}  // namespace

bool is_split_token_head(std::string_view value) { return value == "FlyV1"; }

std::string read_token_file(const std::string& path) {
  std::string token;
  try {
    token = without_line_end(
        util::read_whole_file(path, {.max_bytes = kMaxTokenBytes, .only_owner_writes = true}));
  } catch (const util::FileRefused& e) {
    throw CommandError(file_name_for_messages(path) + ": " + e.what());
  }
  if (const std::string problem = token_problem(token); !problem.empty()) {
    throw CommandError(file_name_for_messages(path) + ": " + problem);
  }
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
    if (line.size() == kMaxTokenBytes)
      throw CommandError("standard input: the token line is too long");
    line.push_back(c);
  }
  if (!ended && line.empty()) throw CommandError("standard input: no token (end of input)");
  if (line.ends_with('\r')) line.pop_back();
  if (const std::string problem = token_problem(line); !problem.empty()) {
    throw CommandError("standard input: " + problem);
  }
  return line;
}

}  // namespace quelmar::cli
