// The directories an audit expects to hold dated files, and the list they are read from.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quelmar/profile_logs/day_set.hpp"

namespace quelmar::profile_logs::dunmere {

// The days a directory's meter was in service, inclusive; an absent end is open. Days
// outside it are never missing, lacking or lost, whatever the directory holds.
struct ServicePeriod {
  std::optional<Date> first{};
  std::optional<Date> last{};
};

// Directories that must hold dated files, as paths relative to a root ("." for
// the root itself), kept as a tree of names so that a walk finds the expected
// children of each directory at once. Released without recursion, however deep.
class ExpectedDirectories {
 public:
  struct Node {
    bool expected = false;
    ServicePeriod service{};  // of an expected directory
    // The days any expected directory at or below it is in service, at most: a walk need not
    // look for a subtree that has none in its range.
    ServicePeriod span{};
    std::map<std::string, std::unique_ptr<Node>, std::less<>> children;
  };

  ExpectedDirectories() = default;
  ExpectedDirectories(ExpectedDirectories&& other) noexcept = default;
  ExpectedDirectories& operator=(ExpectedDirectories&& other) noexcept;
  ~ExpectedDirectories();

  // Adds a relative path of names separated by "/": none may be empty, "." or
  // "..", or hold a NUL byte; "." alone is the root; at most
  // util::MAX_RELATIVE_PATH_BYTES bytes and util::MAX_RELATIVE_PATH_COMPONENTS
  // names. A directory added again keeps its first period. Throws
  // std::invalid_argument naming the problem.
  void add(std::string_view rel_path, const ServicePeriod& service = {});

  // Whether anything at or below `node` is in service on some day of first..last.
  static bool in_service_within(const Node& node, Date first, Date last);

  const Node& root() const { return root_; }
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }

 private:
  void release() noexcept;

  Node root_;
  std::size_t count_ = 0;
};

// A line of an expectation list that names no directory.
class ExpectedDirectoriesError : public std::runtime_error {
 public:
  ExpectedDirectoriesError(std::size_t line, const std::string& message)
      : std::runtime_error(message), line_(line) {}
  std::size_t line() const { return line_; }

 private:
  std::size_t line_;
};

// Reads an expectation list: one directory per line, in the key encoding of the
// audit's JSON output (a backslash written "\\", a byte that is not UTF-8 "\xNN"),
// with a line feed inside a name written "\n" and a carriage return "\r". Lines
// may end in CR LF; empty lines and lines starting with "#" are skipped. Throws
// ExpectedDirectoriesError naming the first malformed line (counted from 1) and why.
ExpectedDirectories parse_expected_directories(std::string_view text);

// An expectation list file that cannot be read or holds a malformed line: what() is
// "cannot read FILE: why" or "FILE:LINE: why".
class ExpectationFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The expectation list in `file`, which may be a pipe (a shell's <(...)) as well as a regular
// file. Throws ExpectationFileError.
ExpectedDirectories read_expected_directories(const std::string& file);

}  // namespace quelmar::profile_logs::dunmere
