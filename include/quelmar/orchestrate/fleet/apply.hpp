// Apply: a plan's actions carried out several at a time, and the wait for one machine's state.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "quelmar/orchestrate/adapter/machines.hpp"
#include "quelmar/orchestrate/fleet/plan.hpp"
#include "quelmar/util/clock.hpp"

namespace quelmar::orchestrate::fleet {

enum class Outcome { kOk, kFailed, kSkipped, kKept };
std::string to_string(Outcome outcome);  // "ok", "failed", "skipped", "kept"

struct Result {
  ActionKind action = ActionKind::kOk;
  std::string meter_id{};
  std::optional<std::string> machine_id{};
  std::string region{};
  Outcome outcome = Outcome::kOk;
  std::string error{};  // why it failed, was skipped or kept
};

struct Progress {
  std::size_t done = 0, total = 0, failed = 0;
  std::chrono::steady_clock::duration elapsed{};
};

// How apply reads the time and waits: the real clock unless replaced (tests).
using Clock = util::Clock;

// The most actions apply runs at once, each on a connection of its own.
inline constexpr int MAX_PARALLEL = 64;

struct ApplyOptions {
  int parallel = 4;  // 1 to MAX_PARALLEL; anything else is clamped into that range
  // Refuse a plan that destroys more machines than this, before any request.
  std::optional<std::size_t> max_destroy{};
  // 0: carry on; 1: start nothing new, let actions in flight finish; 2: also cancel their waits.
  const std::atomic<int>* stop = nullptr;
  // After each finished action, from the worker that finished it, one call at a time.
  std::function<void(const Result& result, const Progress& progress)> finished{};
  Clock clock{};
};

// What an apply did, each action counted once: `changed` sent something and succeeded,
// `in_step` had nothing to send (an ok action), and the other outcomes as they are.
// How a result counts in the summary and the metrics: an ok result of an action that sent
// something changed the fleet; one of an ok action was already in step.
enum class ResultClass { kChanged, kInStep, kFailed, kSkipped, kKept };
ResultClass class_of(const Result& result);
std::string to_string(ResultClass result_class);  // "changed", "in_step", "failed", ...

struct ApplyCounts {
  std::size_t changed = 0, in_step = 0, failed = 0, skipped = 0, kept = 0;
};

struct Report {
  std::vector<Result> results{};  // in plan order
  bool interrupted = false;
  std::size_t count(Outcome outcome) const;
  ApplyCounts counts() const;
};

// The plan destroys more machines than ApplyOptions::max_destroy allows.
class DestroyLimitExceeded : public std::runtime_error {
 public:
  DestroyLimitExceeded(std::size_t count, std::size_t limit);
  std::size_t count() const noexcept { return count_; }
  std::size_t limit() const noexcept { return limit_; }

 private:
  std::size_t count_, limit_;
};

// Throws DestroyLimitExceeded when the plan destroys more than `max_destroy` machines.
void check_destroy_limit(const Plan& plan, std::size_t max_destroy);

// Carries out the plan with workers of their own connection. Before any request it throws
// DestroyLimitExceeded, or std::invalid_argument when a create has no body (no image or
// command) or the plan is for another app than the adapter's. The first update runs alone
// and must see its machine started again before any other update begins; every update and
// start counts as ok only once its machine is started again. After the first failed update
// no other update starts. Duplicates and orphans are destroyed last, a duplicate only once its
// meter's primary is in step. One failure never stops other actions; a back-off of any worker
// (429) pauses them all.
Report apply(adapter::vostrel::Machines& adapter, const Plan& plan, const ApplyOptions& options);

// --- one machine ---

// Waits, as apply does, until the machine is in `state` ("started" or "stopped"), within the
// client's wait budget (ClientOptions::wait_timeout_seconds and wait_total). Done once it is;
// refused when the platform says no (no such machine, the wait ran out: 408) or the wait ended
// in another state; unanswered without a usable answer. A wait for "stopped" reads the
// machine's version first, as the platform needs it.
adapter::vostrel::Answer await_state(adapter::vostrel::Machines& adapter, const std::string& id,
                                     const std::string& state);

}  // namespace quelmar::orchestrate::fleet
