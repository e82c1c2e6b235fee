#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "gate.hpp"
#include "quelmar/orchestrate/adapter/machine_answer.hpp"
#include "quelmar/orchestrate/adapter/machine_state.hpp"
#include "quelmar/orchestrate/fleet/apply.hpp"
#include "quelmar/orchestrate/fleet/create_check.hpp"
#include "quelmar/util/truncate.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

using adapter::vostrel::Answer;
using adapter::vostrel::DestroyStep;
using adapter::vostrel::Machines;
using nlohmann::json;
using std::chrono::milliseconds;
using TimePoint = std::chrono::steady_clock::time_point;

constexpr std::size_t kMaxErrorText = 300;
const std::string kStarted(adapter::machine_state::kStarted);

std::string short_text(std::string_view text) { return util::truncated(text, kMaxErrorText); }

// An action that did not work out, with the reason.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Run {
 public:
  Run(Machines& adapter, const Plan& plan, const ApplyOptions& options)
      : adapter_(adapter),
        plan_(plan),
        options_(options),
        clock_(util::real_clock_unless(options.clock)),
        gate_(clock_),
        results_(plan.actions.size()),
        started_(clock_.now()) {}

  Report run() {
    // Connections are opened up front, so that bad client settings fail before any request.
    const int workers = std::clamp(options_.parallel, 1, MAX_PARALLEL);
    for (int w = 0; w < workers; ++w) {
      workers_.push_back(adapter_.clone([this](adapter::vostrel::ClientOptions& client) {
        client.sleep = [this](milliseconds delay) {
          gate_.pause_for(delay);
          gate_.pass();
        };
        client.waits_cancelled = [this] { return cancelled(); };
      }));
    }

    std::vector<std::size_t> first_round, updates, destroys;
    for (std::size_t i = 0; i < size(); ++i) {
      const Action& action = plan_.actions[i];
      if (action.kind != ActionKind::kDuplicate && action.kind != ActionKind::kOrphan) {
        meter_actions_.emplace(action.meter_id, i);
      }
      if (action.kind == ActionKind::kOk) {
        finish(i, outcome(action, Outcome::kOk, ""));
      } else if (!action.has_work()) {
        finish(i, outcome(action, Outcome::kKept, "no --prune"));
      } else if (action.destroys()) {
        destroys.push_back(i);
      } else if (action.kind == ActionKind::kUpdate) {
        updates.push_back(i);
      } else {
        first_round.push_back(i);
      }
    }
    // The first update is a canary: alone, and in step again, before any other update.
    if (!updates.empty()) {
      run_all({updates.front()}, 1);
      first_round.insert(first_round.end(), updates.begin() + 1, updates.end());
      std::sort(first_round.begin(), first_round.end());
    }
    run_all(first_round, workers);
    // Last, so that a duplicate's primary has had its turn.
    run_all(destroys, workers);

    Report report;
    for (auto& result : results_) report.results.push_back(std::move(*result));
    report.interrupted = stopping();
    return report;
  }

 private:
  std::size_t size() const { return plan_.actions.size(); }
  bool stopping() const { return options_.stop != nullptr && options_.stop->load() >= 1; }
  bool cancelled() const { return options_.stop != nullptr && options_.stop->load() >= 2; }

  static Result outcome(const Action& action, Outcome outcome, std::string error) {
    return {.action = action.kind,
            .meter_id = action.meter_id,
            .machine_id = action.machine ? std::optional(action.machine->id) : std::nullopt,
            .region = action.machine ? action.machine->region : std::string(),
            .outcome = outcome,
            .error = std::move(error)};
  }

  void run_all(const std::vector<std::size_t>& indexes, int workers) {
    std::atomic<std::size_t> next{0};
    const auto work = [&](Machines& worker) {
      for (std::size_t k = next++; k < indexes.size(); k = next++) {
        const std::size_t index = indexes[k];
        const Action& action = plan_.actions[index];
        if (stopping()) {
          finish(index, outcome(action, Outcome::kSkipped, "interrupted"));
          continue;
        }
        finish(index, carry_out(worker, action));
      }
    };
    const std::size_t count =
        std::min<std::size_t>(indexes.size(), static_cast<std::size_t>(workers));
    std::vector<std::thread> threads;
    for (std::size_t w = 1; w < count; ++w) threads.emplace_back(work, std::ref(workers_[w]));
    if (count > 0) work(workers_[0]);
    for (auto& thread : threads) thread.join();
  }

  void finish(std::size_t index, Result result) {
    std::lock_guard lock(mutex_);
    ++done_;
    if (result.outcome == Outcome::kFailed) ++failed_;
    if (result.action == ActionKind::kUpdate && result.outcome == Outcome::kFailed) {
      update_failed_ = true;
    }
    results_[index] = std::move(result);
    if (options_.finished) {
      options_.finished(*results_[index], {done_, size(), failed_, clock_.now() - started_});
    }
  }

  // Throws Failure unless the platform said yes.
  const Answer& checked(const Answer& answer, const char* what) const {
    if (answer.done()) return answer;
    if (answer.unanswered() && cancelled()) throw Failure("interrupted");
    throw Failure(std::string(what) + ": " + short_text(answer.reason()));
  }

  // Every request waits for the gate first.
  template <typename Call>
  Answer send(Call&& call) {
    gate_.pass();
    return call();
  }

  Result carry_out(Machines& worker, const Action& action) {
    Result result = outcome(action, Outcome::kOk, "");
    try {
      switch (action.kind) {
        case ActionKind::kCreate:
          result.machine_id = create(worker, action);
          result.region = plan_.region;
          break;
        case ActionKind::kStart:
          start(worker, action);
          break;
        case ActionKind::kUpdate:
          if (update_failed_) return outcome(action, Outcome::kSkipped, "an earlier update failed");
          update(worker, action);
          break;
        case ActionKind::kDuplicate:
          if (!primary_in_step(action)) {
            return outcome(action, Outcome::kSkipped, "primary not in step");
          }
          destroy(worker, action);
          break;
        case ActionKind::kOrphan:
          destroy(worker, action);
          break;
        case ActionKind::kOk:
          break;
      }
    } catch (const std::exception& e) {
      result.outcome = Outcome::kFailed;
      result.error = short_text(e.what());
    }
    return result;
  }

  std::string create(Machines& worker, const Action& action) {
    const Answer answer =
        checked(send([&] { return worker.create_machine(action.body); }), "create refused");
    auto id = adapter::machine_answer::machine_id(answer.value);
    if (!id) throw Failure("create answered without a machine id");
    return std::move(*id);
  }

  void start(Machines& worker, const Action& action) {
    const Machine& m = *action.machine;
    checked(send([&] { return worker.start_machine(m.id); }), "start refused");
    checked(send([&] { return worker.wait_machine(m.id, m.instance_id, kStarted); }),
            "machine did not start");
  }

  void update(Machines& worker, const Action& action) {
    const Machine& m = *action.machine;
    const Answer answer =
        checked(send([&] { return worker.update_machine(m.id, action.body, m.instance_id); }),
                "update refused");
    const std::string version = adapter::machine_answer::instance_id(answer.value).value_or("");
    checked(send([&] { return worker.wait_machine(m.id, version, kStarted); }),
            "machine did not start after the update");
  }

  // Whether the meter's own action, on its primary, succeeded or had nothing to do.
  bool primary_in_step(const Action& duplicate) {
    std::lock_guard lock(mutex_);
    auto found = meter_actions_.find(duplicate.meter_id);
    if (found == meter_actions_.end()) return false;
    const Action& action = plan_.actions[found->second];
    const auto& result = results_[found->second];
    return action.machine && action.machine->id == duplicate.primary_id && result &&
           result->outcome == Outcome::kOk;
  }

  void destroy(Machines& worker, const Action& action) {
    const Machine& m = *action.machine;
    const bool stopped = adapter::machine_state::is_at_rest(m.state);
    gate_.pass();
    worker.destroy_machine(m.id, {.stop_first = !stopped, .instance_id = m.instance_id},
                           [&](DestroyStep step, const Answer& answer) {
                             const char* what = step == DestroyStep::kStop ? "stop refused"
                                                : step == DestroyStep::kWait
                                                    ? "machine did not stop"
                                                    : "destroy refused";
                             checked(answer, what);
                             gate_.pass();
                             return true;
                           });
  }

  Machines& adapter_;
  const Plan& plan_;
  const ApplyOptions& options_;
  const Clock clock_;
  detail::Gate gate_;
  std::vector<Machines> workers_;
  std::mutex mutex_;
  std::vector<std::optional<Result>> results_;
  // Each meter's own action (create, update, start or ok), by meter id.
  std::unordered_map<std::string, std::size_t> meter_actions_;
  std::size_t done_ = 0, failed_ = 0;
  std::atomic<bool> update_failed_{false};
  const TimePoint started_;
};

}  // namespace

std::string to_string(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
      return "ok";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kSkipped:
      return "skipped";
    case Outcome::kKept:
      return "kept";
  }
  return "?";
}

std::size_t Report::count(Outcome outcome) const {
  return static_cast<std::size_t>(std::count_if(
      results.begin(), results.end(), [outcome](const Result& r) { return r.outcome == outcome; }));
}

DestroyLimitExceeded::DestroyLimitExceeded(std::size_t count, std::size_t limit)
    : std::runtime_error("the plan destroys " + std::to_string(count) + " machines, more than " +
                         std::to_string(limit)),
      count_(count),
      limit_(limit) {}

void check_destroy_limit(const Plan& plan, std::size_t max_destroy) {
  const std::size_t destroys = plan.summary().destroy;
  if (destroys > max_destroy) throw DestroyLimitExceeded(destroys, max_destroy);
}

Report apply(Machines& adapter, const Plan& plan, const ApplyOptions& options) {
  if (options.parallel < 1) throw std::invalid_argument("parallel must be at least 1");
  if (!adapter.fly_app() || *adapter.fly_app() != plan.app) {
    throw std::invalid_argument("the plan is for app " + plan.app + ", not the adapter's app " +
                                adapter.fly_app().value_or("(none)"));
  }
  check_creates_ready(plan);
  if (options.max_destroy) check_destroy_limit(plan, *options.max_destroy);
  return Run(adapter, plan, options).run();
}

}  // namespace quelmar::orchestrate::fleet
