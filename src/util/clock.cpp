#include "quelmar/util/clock.hpp"

#include <thread>

namespace quelmar::util {

Clock real_clock_unless(const Clock& given) {
  using TimePoint = std::chrono::steady_clock::time_point;
  Clock clock = given;
  if (!clock.now) clock.now = [] { return std::chrono::steady_clock::now(); };
  if (!clock.sleep_until) clock.sleep_until = [](TimePoint t) { std::this_thread::sleep_until(t); };
  return clock;
}

}  // namespace quelmar::util
