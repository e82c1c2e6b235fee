// The API token given on the command line's behalf: from a file (--token-file) or standard
// input (--token -), with errors that name where it was looked for.
#pragma once

#include <istream>
#include <string>
#include <string_view>

namespace quelmar::cli {

// Whether an argument given as the token is only the head of a platform token ("FlyV1") whose
// body the shell made the next argument: the token was not quoted.
bool is_split_token_head(std::string_view value);

// The token held in `path` (util::read_token_file). Throws CommandError "PATH: REASON".
std::string read_token_file(const std::string& path);

// The token on the first line of `in`. Throws CommandError "standard input: REASON".
std::string read_token_line(std::istream& in);

}  // namespace quelmar::cli
