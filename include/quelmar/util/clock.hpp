// How a component reads the time and waits, so that tests can drive it by hand.
#pragma once

#include <chrono>
#include <functional>

namespace quelmar::util {

// The real steady clock unless replaced; an empty member means the real one.
struct Clock {
  std::function<std::chrono::steady_clock::time_point()> now{};
  std::function<void(std::chrono::steady_clock::time_point)> sleep_until{};
};

// `given` with every empty member filled in from the real steady clock.
Clock real_clock_unless(const Clock& given);

}  // namespace quelmar::util
