// The back-off between retries, whatever the server asked for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "corvane/retry_policy.hpp"

namespace corvane::api::retry {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::Ge;
using ::testing::Le;

TEST(Backoff, RetryAfterIsTakenUpToTheCapWithoutOverflow) {
  std::minstd_rand jitter(1);
  const Policy policy{.max_retries = 4, .initial_backoff = 500ms, .max_backoff = 30s};
  EXPECT_EQ(backoff(policy, 0, 2, jitter), 2s);
  EXPECT_EQ(backoff(policy, 0, 30, jitter), 30s);
  EXPECT_EQ(backoff(policy, 0, 31, jitter), 30s);
  EXPECT_EQ(backoff(policy, 0, std::numeric_limits<long long>::max(), jitter), 30s);
  // Not a usable wait: the ordinary back-off.
  EXPECT_THAT(backoff(policy, 0, -1, jitter), AllOf(Ge(250ms), Le(500ms)));
  EXPECT_THAT(backoff(policy, 0, 0, jitter), AllOf(Ge(250ms), Le(500ms)));
}

TEST(Backoff, GrowsWithEachRetryUpToTheCap) {
  std::minstd_rand jitter(1);
  const Policy policy{.max_retries = 100, .initial_backoff = 500ms, .max_backoff = 30s};
  EXPECT_THAT(backoff(policy, 1, std::nullopt, jitter), AllOf(Ge(500ms), Le(1s)));
  EXPECT_THAT(backoff(policy, 3, std::nullopt, jitter), AllOf(Ge(2s), Le(4s)));
  EXPECT_THAT(backoff(policy, 99, std::nullopt, jitter), AllOf(Ge(15s), Le(30s)));
  EXPECT_THAT(backoff(policy, std::numeric_limits<int>::max(), std::nullopt, jitter),
              AllOf(Ge(15s), Le(30s)));
}

TEST(Backoff, OddPoliciesStayWithinTheirCap) {
  std::minstd_rand jitter(1);
  EXPECT_EQ(backoff({.initial_backoff = 0ms, .max_backoff = 0ms}, 3, 10, jitter), 0ms);
  EXPECT_THAT(backoff({.initial_backoff = 1h, .max_backoff = 2s}, 0, std::nullopt, jitter),
              AllOf(Ge(1s), Le(2s)));
  EXPECT_EQ(backoff({.initial_backoff = 1s, .max_backoff = -5s}, 0, 3, jitter), 0ms);
}

}  // namespace
}  // namespace corvane::api::retry
