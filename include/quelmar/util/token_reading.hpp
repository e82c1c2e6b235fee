// Reading a secret token from a file or a stream, which, unlike the command line, no other user
// can see in the process list.
#pragma once

#include <cstddef>
#include <filesystem>
#include <istream>
#include <stdexcept>
#include <string>

namespace quelmar::util {

// A token is one line; a file or input line longer than this is not one.
inline constexpr std::size_t kMaxTokenBytes = std::size_t{64} * 1024;

// No token could be read. what() is the reason alone ("holds no token"), for the caller to put
// after the name of where it looked; it never quotes what it read.
class TokenRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The token held in `path`, a regular file of the user running the program (or root) that
// nobody else can change; one trailing line end is dropped. Throws TokenRefused.
std::string read_token_file(const std::filesystem::path& path);

// The token on the first line of `in`, without its line end. Throws TokenRefused.
std::string read_token_line(std::istream& in);

}  // namespace quelmar::util
