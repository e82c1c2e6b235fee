// Reading the API token from a file or standard input, which, unlike the command line, no other
// user can see in the process list.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>

namespace quelmar::cli {

// A token is one line; a file or input line longer than this is not one.
inline constexpr std::size_t kMaxTokenBytes = 64 * 1024;

// Whether an argument given as the token is only the head of a platform token ("FlyV1") whose
// body the shell made the next argument: the token was not quoted.
bool is_split_token_head(std::string_view value);

// The token held in `path`, a regular file of the user running quelmar (or root) that nobody
// else can change; one trailing line end is dropped. Throws CommandError "PATH: REASON".
std::string read_token_file(const std::string& path);

// The token on the first line of `in`, without its line end. Throws CommandError.
std::string read_token_line(std::istream& in);

}  // namespace quelmar::cli
