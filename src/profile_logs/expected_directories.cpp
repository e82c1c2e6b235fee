#include "quelmar/profile_logs/expected_directories.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "quelmar/util/relative_path.hpp"
#include "quelmar/util/unique_fd.hpp"

namespace quelmar::profile_logs::dunmere {

using std::chrono::sys_days;

ExpectedDirectories& ExpectedDirectories::operator=(ExpectedDirectories&& other) noexcept {
  if (this != &other) {
    release();
    root_ = std::move(other.root_);
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

ExpectedDirectories::~ExpectedDirectories() { release(); }

// A chain of a thousand names would otherwise be freed by as many nested destructors.
void ExpectedDirectories::release() noexcept {
  std::vector<std::unique_ptr<Node>> pending;
  const auto take_children = [&pending](Node& node) {
    for (auto& entry : node.children) pending.push_back(std::move(entry.second));
    node.children.clear();
  };
  take_children(root_);
  while (!pending.empty()) {
    std::unique_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    take_children(*node);
  }
  count_ = 0;
}

namespace {

// The smallest period that holds both.
void widen(ServicePeriod& span, const ServicePeriod& service) {
  if (!span.first || !service.first) {
    span.first.reset();
  } else if (sys_days{*service.first} < sys_days{*span.first}) {
    span.first = service.first;
  }
  if (!span.last || !service.last) {
    span.last.reset();
  } else if (sys_days{*span.last} < sys_days{*service.last}) {
    span.last = service.last;
  }
}

}  // namespace

void ExpectedDirectories::add(std::string_view rel_path, const ServicePeriod& service) {
  if (const auto problem = util::relative_path_problem(rel_path, /*root_allowed=*/true)) {
    throw std::invalid_argument(*problem);
  }
  // The spans on the way down only ever widen: an upper bound stays one when a directory
  // added again keeps its first period.
  Node* node = &root_;
  widen(root_.span, service);
  if (rel_path != ".") {
    for (std::size_t start = 0;;) {
      const std::size_t end = std::min(rel_path.find('/', start), rel_path.size());
      const std::string_view name = rel_path.substr(start, end - start);
      auto it = node->children.find(name);
      if (it == node->children.end()) {
        it = node->children.emplace(std::string(name), std::make_unique<Node>()).first;
        // No day yet, until an expected directory below widens it.
        it->second->span = {.first = std::chrono::year::max() / std::chrono::December / 31,
                            .last = std::chrono::year::min() / std::chrono::January / 1};
      }
      node = it->second.get();
      widen(node->span, service);
      if (end == rel_path.size()) break;
      start = end + 1;
    }
  }
  if (node->expected) return;
  ++count_;
  node->expected = true;
  node->service = service;
}

bool ExpectedDirectories::in_service_within(const Node& node, Date first, Date last) {
  if (node.span.first && sys_days{last} < sys_days{*node.span.first}) return false;
  return !node.span.last || sys_days{first} <= sys_days{*node.span.last};
}

ExpectedDirectories parse_expected_directories(std::string_view text) {
  ExpectedDirectories expected;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line.starts_with('#')) continue;
    std::string problem;
    const auto path = util::decode_path_key(line, problem);
    if (!path) throw ExpectedDirectoriesError(number, problem);
    if (auto why = util::relative_path_problem(*path, /*root_allowed=*/true)) {
      throw ExpectedDirectoriesError(number, "not a path below the root: " + *why);
    }
    expected.add(*path);
  }
  return expected;
}

namespace {

// The whole of `file`, read to its end: a pipe has no size to look at first.
std::string read_text_file(const std::string& file) {
  const auto fail = [&file](int error) {
    return ExpectationFileError("cannot read " + file + ": " +
                                std::generic_category().message(error));
  };
  const util::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throw fail(errno);
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw fail(errno);
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

ExpectedDirectories read_expected_directories(const std::string& file) {
  const std::string text = read_text_file(file);
  try {
    return parse_expected_directories(text);
  } catch (const ExpectedDirectoriesError& e) {
    throw ExpectationFileError(file + ":" + std::to_string(e.line()) + ": " + e.what());
  }
}

}  // namespace quelmar::profile_logs::dunmere
