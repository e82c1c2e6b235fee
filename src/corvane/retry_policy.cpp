#include "retry_policy.hpp"

#include <algorithm>
#include <thread>

namespace corvane::api::retry {

using std::chrono::milliseconds;

milliseconds backoff(const Policy& policy, int retry, std::optional<long long> retry_after_seconds,
                     std::minstd_rand& jitter) {
  const milliseconds cap = std::max(policy.max_backoff, milliseconds(0));
  if (retry_after_seconds && *retry_after_seconds > 0) {
    // Compared in seconds first: a huge value must not overflow on its way to milliseconds.
    const long long cap_seconds = cap.count() / 1000 + 1;
    if (*retry_after_seconds >= cap_seconds) return cap;
    return std::min(milliseconds(*retry_after_seconds * 1000), cap);
  }
  milliseconds base =
      std::clamp(policy.initial_backoff, milliseconds(1), std::max(cap, milliseconds(1)));
  for (int i = 0; i < retry && base < cap; ++i) base = std::min(base * 2, cap);
  base = std::min(base, cap);
  // Half fixed, half random: spreads clients out while still growing with each retry.
  std::uniform_int_distribution<milliseconds::rep> spread(0, base.count() / 2);
  return base - milliseconds(spread(jitter));
}

Retrier::Retrier(transport::Transport& transport, Policy policy,
                 std::function<void(milliseconds)> sleep)
    : transport_(transport), policy_(policy), sleep_(std::move(sleep)) {}

transport::Response Retrier::send(const transport::Request& request, RetryOn retry_on) {
  for (int retry = 0;; ++retry) {
    transport::Response response = transport_.exchange(request);
    const bool throttled = response.status == 429;
    const bool server_error = response.status >= 500 && response.status <= 599;
    const bool retryable =
        throttled || (server_error && retry_on == RetryOn::kThrottlingAndServerErrors);
    if (!retryable || retry >= policy_.max_retries) return response;
    const milliseconds delay = backoff(policy_, retry, response.retry_after_seconds, jitter_);
    if (sleep_) {
      sleep_(delay);
    } else {
      std::this_thread::sleep_for(delay);
    }
  }
}

transport::Response Retrier::send_until_not_timed_out(const transport::Request& request,
                                                      long long attempts) {
  transport::Response response;
  for (long long attempt = 0; attempt < std::max(attempts, 1LL); ++attempt) {
    response = send(request, RetryOn::kThrottlingAndServerErrors);
    if (response.status != 408) break;
  }
  return response;
}

}  // namespace corvane::api::retry
