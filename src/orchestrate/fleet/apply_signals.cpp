#include "quelmar/orchestrate/fleet/apply_signals.hpp"

namespace quelmar::orchestrate::fleet {
namespace {

// Touched by the handler: lock-free atomics only.
std::atomic<int> stop_level{0};
std::atomic<int> first_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_stop_signal(int signal) {
  int none = 0;
  first_stop_signal.compare_exchange_strong(none, signal);
  if (stop_level.load() < 2) stop_level.fetch_add(1);
}

}  // namespace

StopSignals::StopSignals() {
  stop_level.store(0);
  first_stop_signal.store(0);
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  // Neither signal interrupts the handler of the other, so the level counts each once.
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previous_int_);
  sigaction(SIGTERM, &action, &previous_term_);
}

StopSignals::~StopSignals() {
  sigaction(SIGINT, &previous_int_, nullptr);
  sigaction(SIGTERM, &previous_term_, nullptr);
}

const std::atomic<int>* StopSignals::level() { return &stop_level; }

int StopSignals::first_signal() { return first_stop_signal.load(); }

void StopSignals::stop_without_signal() {
  int running = 0;
  stop_level.compare_exchange_strong(running, 1);
}

IgnoredSigpipe::IgnoredSigpipe() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &previous_);
}

IgnoredSigpipe::~IgnoredSigpipe() { sigaction(SIGPIPE, &previous_, nullptr); }

}  // namespace quelmar::orchestrate::fleet
