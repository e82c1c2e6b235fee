#include "gate.hpp"

#include <algorithm>
#include <utility>

namespace quelmar::orchestrate::fleet::detail {

using TimePoint = std::chrono::steady_clock::time_point;

Gate::Gate(util::Clock clock) : clock_(std::move(clock)) {}

void Gate::pause_for(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  until_ = std::max(until_, clock_.now() + delay);
}

void Gate::pass() {
  for (;;) {
    TimePoint wake;
    {
      std::lock_guard lock(mutex_);
      if (clock_.now() >= until_) return;
      wake = until_;
    }
    clock_.sleep_until(wake);
  }
}

}  // namespace quelmar::orchestrate::fleet::detail
