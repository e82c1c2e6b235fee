// A set of days of one date range, the audit's unit of account.
#pragma once

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quelmar::profile_logs::dunmere {

using Date = std::chrono::year_month_day;

// Days of an inclusive date range, one bit each: a set over the whole calendar
// (3.65 million days) takes under half a MiB.
class DaySet {
 public:
  DaySet() = default;
  // The empty set over first..last; a reversed range holds no day.
  DaySet(Date first, Date last);

  Date first() const { return Date{first_}; }
  std::uint64_t range_size() const { return static_cast<std::uint64_t>(count_); }

  // Adds a day; false (and nothing added) when it lies outside the range.
  bool insert(std::chrono::sys_days day);
  bool insert(Date day) { return insert(std::chrono::sys_days{day}); }
  bool contains(Date day) const;
  std::uint64_t size() const;  // days in the set
  bool empty() const;
  void clear();

  // The days of the range that are not in the set.
  DaySet complement() const;
  // Removes the days before `first` and after `last` (inclusive bounds; absent: open).
  void keep_between(std::optional<Date> first, std::optional<Date> last);
  // Set operations on two sets over the same range.
  DaySet& operator|=(const DaySet& other);
  DaySet& operator-=(const DaySet& other);
  friend bool operator==(const DaySet&, const DaySet&) = default;

  std::vector<Date> days() const;

  // Calls f(index) for each day in the set, ascending; index 0 is first().
  template <typename F>
  void for_each_index(F&& f) const {
    for (std::size_t w = 0; w < words_.size(); ++w) {
      for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
        f(static_cast<std::int64_t>(w * 64) + std::countr_zero(bits));
      }
    }
  }

  // Calls f(first, last) for each run of consecutive days in the set, ascending.
  template <typename F>
  void for_each_run(F&& f) const {
    std::int64_t start = -1;
    std::int64_t previous = -2;
    for_each_index([&](std::int64_t i) {
      if (i != previous + 1) {
        if (start >= 0) f(day_at(start), day_at(previous));
        start = i;
      }
      previous = i;
    });
    if (start >= 0) f(day_at(start), day_at(previous));
  }

  Date day_at(std::int64_t index) const { return Date{first_ + std::chrono::days{index}}; }

 private:
  std::chrono::sys_days first_{};
  std::int64_t count_ = 0;
  std::vector<std::uint64_t> words_;
};

}  // namespace quelmar::profile_logs::dunmere
