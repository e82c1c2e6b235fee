#include "inventory_problems.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

#include "quelmar/util/truncate.hpp"

namespace quelmar::orchestrate::fleet::inventory {

namespace {

constexpr std::size_t kMaxShownValue = 64;

}  // namespace

bool ProblemList::before(const Entry& a, const Entry& b) {
  return std::tuple(a.line, a.rank, a.order) < std::tuple(b.line, b.rank, b.order);
}

bool ProblemList::listed(const Entry& entry) const {
  return heap_.size() < max_listed_ || (!heap_.empty() && before(entry, heap_.front()));
}

void ProblemList::list(Entry entry, std::string message) {
  entry.message = std::move(message);
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
