// The --expect reader: any text gives directories or an error naming a line, never a crash,
// and every directory it keeps is a bounded path below the root.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "quelmar/profile_logs/dunmere.hpp"
#include "quelmar/util/relative_path.hpp"

namespace dunmere = quelmar::profile_logs::dunmere;
namespace util = quelmar::util;
using quelmar::fuzz::require;

namespace {

// Every expected directory's path, checked as it is rebuilt; the tree is walked with an
// explicit stack, as deep as it may be.
std::size_t check_tree(const dunmere::ExpectedDirectories& expected) {
  struct Pending {
    const dunmere::ExpectedDirectories::Node* node;
    std::string path;
  };
  std::size_t count = expected.root().expected ? 1 : 0;
  std::vector<Pending> stack;
  for (const auto& [name, child] : expected.root().children) stack.push_back({child.get(), name});
  while (!stack.empty()) {
    Pending top = std::move(stack.back());
    stack.pop_back();
    require(!util::relative_path_problem(top.path, false), "a kept path is below the root");
    if (top.node->expected) ++count;
    for (const auto& [name, child] : top.node->children) {
      stack.push_back({child.get(), top.path + "/" + name});
    }
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t lines = 0;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  try {
    const dunmere::ExpectedDirectories expected = dunmere::parse_expected_directories(text);
    require(check_tree(expected) == expected.size(), "size() counts the expected directories");
  } catch (const dunmere::ExpectedDirectoriesError& e) {
    require(e.line() >= 1 && e.line() <= lines + 1, "an error names a line of the text");
    require(std::string_view(e.what()).find('\\') == std::string_view::npos,
            "an error's own text holds no backslash");
  }
  return 0;
}
