// Stopping an apply by signal: levels, the first signal, and the handlers given back.
#include "quelmar/orchestrate/fleet/apply_signals.hpp"

#include <gtest/gtest.h>

#include <signal.h>

namespace quelmar::orchestrate::fleet {
namespace {

extern "C" void count_signal(int) {}

using Handler = void (*)(int);

Handler handler_of(int signal) {
  struct sigaction current {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
}

// The test's own handlers stand for whatever the process had before.
class ApplySignals : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sigaction own {};
    own.sa_handler = count_signal;
    sigemptyset(&own.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGPIPE}) sigaction(s, &own, &saved_[index(s)]);
  }
  void TearDown() override {
    for (int s : {SIGINT, SIGTERM, SIGPIPE}) sigaction(s, &saved_[index(s)], nullptr);
  }
  static int index(int s) { return s == SIGINT ? 0 : s == SIGTERM ? 1 : 2; }

  struct sigaction saved_[3]{};
};

TEST_F(ApplySignals, TheFirstSignalStopsStartingTheSecondCancelsAndTheFirstIsRemembered) {
  {
    StopSignals stop;
    ASSERT_NE(handler_of(SIGINT), count_signal);
    ASSERT_NE(handler_of(SIGTERM), count_signal);
    EXPECT_EQ(StopSignals::level()->load(), 0);
    raise(SIGTERM);
    EXPECT_EQ(StopSignals::level()->load(), 1);
    raise(SIGINT);
    raise(SIGINT);
    EXPECT_EQ(StopSignals::level()->load(), 2);
    EXPECT_EQ(StopSignals::first_signal(), SIGTERM);
  }
  EXPECT_EQ(handler_of(SIGINT), count_signal);
  EXPECT_EQ(handler_of(SIGTERM), count_signal);
  EXPECT_EQ(StopSignals::first_signal(), SIGTERM);  // for the exit status, after the handlers

  StopSignals again;
  EXPECT_EQ(StopSignals::level()->load(), 0);
  EXPECT_EQ(StopSignals::first_signal(), 0);
}

TEST_F(ApplySignals, OutputThatCannotBeWrittenStopsLikeAFirstSignalWithoutOne) {
  StopSignals stop;
  StopSignals::stop_without_signal();
  EXPECT_EQ(StopSignals::level()->load(), 1);
  EXPECT_EQ(StopSignals::first_signal(), 0);
  raise(SIGINT);  // a signal after it still cancels the waits
  EXPECT_EQ(StopSignals::level()->load(), 2);
  StopSignals::stop_without_signal();
  EXPECT_EQ(StopSignals::level()->load(), 2);
}

TEST_F(ApplySignals, APipeWithoutAReaderIsIgnoredOnlyWhileAsked) {
  {
    IgnoredSigpipe ignored;
    EXPECT_EQ(handler_of(SIGPIPE), SIG_IGN);
  }
  EXPECT_EQ(handler_of(SIGPIPE), count_signal);
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
