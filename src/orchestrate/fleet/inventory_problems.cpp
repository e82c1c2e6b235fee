#include "inventory_problems.hpp"

#include <algorithm>
#include <utility>

#include "quelmar/util/truncate.hpp"

namespace quelmar::orchestrate::fleet::inventory {

namespace {

constexpr std::size_t kMaxShownValue = 64;

}  // namespace

bool ProblemList::before(const Entry& a, const Entry& b) {
  return std::pair(a.line, a.order) < std::pair(b.line, b.order);
}

bool ProblemList::listed(std::size_t line) const {
  if (heap_.size() < max_listed_) return true;
  // One found now comes after every listed one of its line.
  return !heap_.empty() && line < heap_.front().line;
}

void ProblemList::list(Entry entry) {
  if (heap_.size() == max_listed_) {
    std::pop_heap(heap_.begin(), heap_.end(), before);
    heap_.pop_back();
  }
  heap_.push_back(std::move(entry));
  std::push_heap(heap_.begin(), heap_.end(), before);
}

void ProblemList::report_to(Inventory& inventory) && {
  std::sort_heap(heap_.begin(), heap_.end(), before);
  inventory.problems.clear();
  inventory.problems.reserve(heap_.size());
  for (auto& entry : heap_) inventory.problems.push_back({entry.line, std::move(entry.message)});
  inventory.more_problems = found_ - heap_.size();
  heap_.clear();
}

std::string shown(std::string_view value) {
  return "'" + util::truncated(value, kMaxShownValue) + "'";
}

}  // namespace quelmar::orchestrate::fleet::inventory
