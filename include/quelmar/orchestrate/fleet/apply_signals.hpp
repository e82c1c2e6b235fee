// Stopping an apply from outside the process: SIGINT and SIGTERM while it runs. The first
// starts nothing new, the second also cancels the waits in flight (ApplyOptions::stop).
#pragma once

#include <signal.h>

#include <atomic>

namespace quelmar::orchestrate::fleet {

// While one lives, SIGINT and SIGTERM raise the stop level instead of ending the process; the
// handlers before it come back when it ends. One at a time: a signal is the process's.
class StopSignals {
 public:
  // Starts at level 0 with no signal seen.
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // What ApplyOptions::stop takes: 0 carry on, 1 start nothing new, 2 also cancel waits.
  static const std::atomic<int>* level();
  // The signal that stopped it first, 0 when none did; kept after this one ends.
  static int first_signal();
  // Stops as a first signal does, without one (output that can no longer be written).
  static void stop_without_signal();

 private:
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

// While one lives, a reader that went away is a failed write, not the end of the process: the
// actions in flight still finish.
class IgnoredSigpipe {
 public:
  IgnoredSigpipe();
  ~IgnoredSigpipe();
  IgnoredSigpipe(const IgnoredSigpipe&) = delete;
  IgnoredSigpipe& operator=(const IgnoredSigpipe&) = delete;

 private:
  struct sigaction previous_ {};
};

}  // namespace quelmar::orchestrate::fleet
