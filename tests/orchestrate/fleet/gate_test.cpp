// The pause every worker of an apply honours, on a clock the test moves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "orchestrate/fleet/gate.hpp"

namespace quelmar::orchestrate::fleet::detail {
namespace {

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;

// A clock that stands still: sleepers wait until the test moves it.
class ManualClock {
 public:
  util::Clock clock() {
    return {.now =
                [this] {
                  std::lock_guard lock(mutex_);
                  return now_;
                },
            .sleep_until =
                [this](TimePoint until) {
                  std::unique_lock lock(mutex_);
                  ++sleeps_;
                  ++sleepers_;
                  changed_.notify_all();
                  changed_.wait(lock, [&] { return now_ >= until; });
                  --sleepers_;
                }};
  }
  void advance(std::chrono::milliseconds by) {
    std::lock_guard lock(mutex_);
    now_ += by;
    changed_.notify_all();
  }
  int sleeps() {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }
  void wait_for_sleepers(int count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return sleepers_ == count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  TimePoint now_ = TimePoint{} + 1h;
  int sleepers_ = 0;
  int sleeps_ = 0;
};

TEST(Gate, WithoutAPauseEveryonePassesAtOnce) {
  ManualClock time;
  Gate gate(time.clock());
  gate.pass();
  gate.pause_for(0ms);
  gate.pass();
  EXPECT_EQ(time.sleeps(), 0);
}

TEST(Gate, APauseHoldsEveryWorkerUntilItEndsAndALongerOneHoldsLonger) {
  ManualClock time;
  Gate gate(time.clock());
  gate.pause_for(1000ms);
  std::atomic<int> passed{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i) {
    workers.emplace_back([&] {
      gate.pass();
      ++passed;
    });
  }
  time.wait_for_sleepers(3);
  gate.pause_for(500ms);  // shorter than the pause in force: changes nothing
  gate.pause_for(1500ms);
  time.advance(1000ms);
  EXPECT_EQ(passed, 0) << "the longer pause is still in force";
  time.advance(500ms);
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(passed, 3);
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet::detail
