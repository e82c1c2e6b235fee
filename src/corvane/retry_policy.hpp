// Which answers are worth sending a request again for, and how long to wait before doing so.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <random>

#include "transport.hpp"

namespace corvane::api::retry {

enum class RetryOn { kThrottling, kThrottlingAndServerErrors };

struct Policy {
  int max_retries = 4;
  std::chrono::milliseconds initial_backoff{500};
  std::chrono::milliseconds max_backoff{30'000};
};

// The pause before retry number `retry` (0 for the first): what Retry-After asks for, else an
// exponential back-off with jitter; never more than max_backoff, never negative, whatever the
// header said.
std::chrono::milliseconds backoff(const Policy& policy, int retry,
                                  std::optional<long long> retry_after_seconds,
                                  std::minstd_rand& jitter);

class Retrier {
 public:
  Retrier(transport::Transport& transport, Policy policy,
          std::function<void(std::chrono::milliseconds)> sleep);

  // Sends until the answer is not worth a retry or the retries are spent; the last response.
  transport::Response send(const transport::Request& request, RetryOn retry_on);
  // A long poll: sent again on 408, at most `attempts` times in all, each send retried as above;
  // stops early when the request is cancelled.
  transport::Response send_until_not_timed_out(const transport::Request& request,
                                               long long attempts);

 private:
  transport::Transport& transport_;
  Policy policy_;
  std::function<void(std::chrono::milliseconds)> sleep_;
  std::minstd_rand jitter_{std::random_device{}()};
};

}  // namespace corvane::api::retry
