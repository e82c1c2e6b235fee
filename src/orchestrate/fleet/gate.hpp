// Shared by the workers of one apply: when the platform asks one of them to back off, every
// one waits, on the clock apply was given.
#pragma once

#include <chrono>
#include <mutex>

#include "quelmar/util/clock.hpp"

namespace quelmar::orchestrate::fleet::detail {

class Gate {
 public:
  // `clock` must have both functions set.
  explicit Gate(util::Clock clock);

  // No one passes before `delay` from now (a longer pause in force stays).
  void pause_for(std::chrono::milliseconds delay);
  // Returns once no pause is in force; a pause made longer meanwhile is waited out too.
  void pass();

 private:
  util::Clock clock_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point until_{};
};

}  // namespace quelmar::orchestrate::fleet::detail
