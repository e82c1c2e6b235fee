// The problems found in an inventory: the first ones by line are listed, the rest only counted,
// so that a file of garbage costs neither memory nor a screenful per line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "quelmar/orchestrate/fleet/meter.hpp"

namespace quelmar::orchestrate::fleet::inventory {

class ProblemList {
 public:
  explicit ProblemList(std::size_t max_listed) : max_listed_(max_listed) {}

  // `message` is text, or a function that makes it: called only when the problem is listed.
  // The problems of one line are listed by `rank`, then in the order found.
  template <typename Message>
  void add(std::size_t line, Message&& message, std::size_t rank = 0) {
    const Entry entry{line, rank, found_++, {}};
    if (!listed(entry)) return;
    if constexpr (std::is_invocable_v<Message>) {
      list(entry, std::string(message()));
    } else {
      list(entry, std::string(std::forward<Message>(message)));
    }
  }

  bool empty() const { return found_ == 0; }

  // The listed problems in line order (those of one line in the order found), and how many
  // more were found.
  void report_to(Inventory& inventory) &&;

 private:
  struct Entry {
    std::size_t line = 0;
    std::size_t rank = 0;
    std::size_t order = 0;
    std::string message;
  };
  static bool before(const Entry& a, const Entry& b);
  // Whether the entry is among the first max_listed_ so far.
  bool listed(const Entry& entry) const;
  void list(Entry entry, std::string message);

  std::size_t max_listed_;
  std::size_t found_ = 0;
  std::vector<Entry> heap_;  // the listed ones, the last on top
};

// A value as a message shows it: quoted, and cut short when long.
std::string shown(std::string_view value);

}  // namespace quelmar::orchestrate::fleet::inventory
