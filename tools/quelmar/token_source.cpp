#include "token_source.hpp"

#include "commands.hpp"
#include "quelmar/util/token_reading.hpp"

namespace quelmar::cli {

namespace {

// How a refused --token-file is named: a token given there by mistake is not repeated.
std::string file_name_for_messages(const std::string& path) {
  const bool looks_like_token = path.starts_with("FlyV1") || path.starts_with("fm1") ||
                                path.starts_with("fm2_") || path.find(",fm2_") != std::string::npos;
  return looks_like_token ? "--token-file (a token, not a file name?)" : path;
}

}  // namespace

bool is_split_token_head(std::string_view value) { return value == "FlyV1"; }

std::string read_token_file(const std::string& path) {
  try {
    return util::read_token_file(path);
  } catch (const util::TokenRefused& e) {
    throw CommandError(file_name_for_messages(path) + ": " + e.what());
  }
}

std::string read_token_line(std::istream& in) {
  try {
    return util::read_token_line(in);
  } catch (const util::TokenRefused& e) {
    throw CommandError(std::string("standard input: ") + e.what());
  }
}

}  // namespace quelmar::cli
