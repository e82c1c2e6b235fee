#include "quelmar/profile_logs/day_set.hpp"

#include <algorithm>

namespace quelmar::profile_logs::dunmere {

using std::chrono::sys_days;

DaySet::DaySet(Date first, Date last)
    : first_(sys_days{first}),
      count_(std::max<std::int64_t>(0, (sys_days{last} - first_).count() + 1)),
      words_(static_cast<std::size_t>((count_ + 63) / 64), 0) {}

bool DaySet::insert(sys_days day) {
  const std::int64_t i = (day - first_).count();
  if (i < 0 || i >= count_) return false;
  words_[static_cast<std::size_t>(i / 64)] |= std::uint64_t{1} << (i % 64);
  return true;
}

bool DaySet::contains(Date day) const {
  const std::int64_t i = (sys_days{day} - first_).count();
  if (i < 0 || i >= count_) return false;
  return (words_[static_cast<std::size_t>(i / 64)] >> (i % 64) & 1) != 0;
}

std::uint64_t DaySet::size() const {
  std::uint64_t n = 0;
  for (const std::uint64_t w : words_) n += static_cast<std::uint64_t>(std::popcount(w));
  return n;
}

bool DaySet::empty() const {
  return std::all_of(words_.begin(), words_.end(), [](std::uint64_t w) { return w == 0; });
}

void DaySet::clear() { std::fill(words_.begin(), words_.end(), 0); }

DaySet DaySet::complement() const {
  DaySet result = *this;
  for (auto& w : result.words_) w = ~w;
  if (count_ % 64 != 0) result.words_.back() &= (std::uint64_t{1} << (count_ % 64)) - 1;
  return result;
}

DaySet& DaySet::operator|=(const DaySet& other) {
  for (std::size_t w = 0; w < words_.size() && w < other.words_.size(); ++w) {
    words_[w] |= other.words_[w];
  }
  return *this;
}

DaySet& DaySet::operator-=(const DaySet& other) {
  for (std::size_t w = 0; w < words_.size() && w < other.words_.size(); ++w) {
    words_[w] &= ~other.words_[w];
  }
  return *this;
}

void DaySet::keep_between(std::optional<Date> first, std::optional<Date> last) {
  const auto clear_range = [this](std::int64_t from, std::int64_t to) {  // [from, to)
    from = std::clamp<std::int64_t>(from, 0, count_);
    to = std::clamp<std::int64_t>(to, 0, count_);
    for (std::int64_t i = from; i < to;) {
      const auto w = static_cast<std::size_t>(i / 64);
      const std::int64_t bit = i % 64;
      const std::int64_t n = std::min<std::int64_t>(64 - bit, to - i);
      const std::uint64_t mask = n == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << n) - 1) << bit;
      words_[w] &= ~mask;
      i += n;
    }
  };
  if (first) clear_range(0, (sys_days{*first} - first_).count());
  if (last) clear_range((sys_days{*last} - first_).count() + 1, count_);
}

std::vector<Date> DaySet::days() const {
  std::vector<Date> out;
  out.reserve(size());
  for_each_index([&](std::int64_t i) { out.push_back(day_at(i)); });
  return out;
}

}  // namespace quelmar::profile_logs::dunmere
