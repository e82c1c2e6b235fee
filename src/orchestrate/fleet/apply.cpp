#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "quelmar/orchestrate/fleet.hpp"
#include "records.hpp"

namespace quelmar::orchestrate::fleet {

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxErrorText = 300;
constexpr int kMaxParallel = 64;

// Shared by all workers: when the platform asks one of them to back off, every one waits.
class Gate {
 public:
  void pause_for(milliseconds delay) {
    std::lock_guard lock(mutex_);
    until_ = std::max(until_, Clock::now() + delay);
    changed_.notify_all();
  }
  // Returns once no pause is in force.
  void pass() {
    std::unique_lock lock(mutex_);
    while (Clock::now() < until_) changed_.wait_until(lock, until_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Clock::time_point until_{};
};

// An action that did not work out, with the platform's reason.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string short_text(std::string text) {
  if (text.size() > kMaxErrorText) {
    text.resize(kMaxErrorText);
    text += "...";
  }
  return text;
}

bool is_failure(const json& answer) {
  if (answer.is_object() && answer.contains("error")) return true;
  // The platform's way of saying no to a destroy or a stop.
  return answer.is_object() && answer.contains("ok") && answer["ok"] == false;
}

// Throws Failure when the answer says the request did not work.
const json& checked(const json& answer, const char* what) {
  if (is_failure(answer)) {
    const json& reason = answer.contains("error") ? answer["error"] : answer;
    throw Failure(std::string(what) + ": " + short_text(records::text_form(reason)));
  }
  return answer;
}

json tcp_service(int port) {
  return json{
      {"protocol", "tcp"}, {"internal_port", port}, {"ports", json::array({{{"port", port}}})}};
}

class Run {
 public:
  Run(adapter::vostrel::FlyAdapter& adapter, const Plan& plan, const ApplyOptions& options)
      : adapter_(adapter),
        plan_(plan),
        options_(options),
        app_(plan.app),
        results_(plan.actions.size()),
        started_(Clock::now()) {}

  Report run() {
    const int workers = std::clamp(options_.parallel, 1, kMaxParallel);
    // Connections are opened up front, so that bad client settings fail before any request.
    std::vector<corvane::api::API> clients;
    for (int w = 0; w < workers; ++w) {
      corvane::api::ClientOptions client = options_.client;
      client.sleep = [this](milliseconds delay) {
        gate_.pause_for(delay);
        gate_.pass();
      };
      clients.emplace_back(options_.api_token, std::move(client));
    }
    std::vector<std::thread> threads;
    for (auto& client : clients) threads.emplace_back([this, &client] { work(client); });
    for (auto& thread : threads) thread.join();
    Report report;
    report.results = std::move(results_);
    report.interrupted = interrupted();
    return report;
  }

 private:
  bool interrupted() const {
    return options_.interrupted != nullptr && options_.interrupted->load();
  }

  void work(corvane::api::API& api) {
    for (;;) {
      const std::size_t index = next_.fetch_add(1);
      if (index >= plan_.actions.size()) return;
      const Action& action = plan_.actions[index];
      Result result{action.kind, action.meter_id, action.machine_id, Outcome::kOk, ""};
      if (interrupted()) {
        result.outcome = Outcome::kSkipped;
        result.error = "interrupted";
      } else {
        try {
          carry_out(api, action, result);
        } catch (const std::exception& e) {
          result.outcome = Outcome::kFailed;
          result.error = short_text(e.what());
          if (action.kind == ActionKind::kUpdate) update_failed_ = true;
        }
      }
      finish(index, std::move(result));
    }
  }

  void finish(std::size_t index, Result result) {
    std::lock_guard lock(progress_mutex_);
    ++done_;
    if (result.outcome == Outcome::kFailed) ++failed_;
    results_[index] = std::move(result);
    if (options_.progress) {
      options_.progress({done_, results_.size(), failed_, Clock::now() - started_});
    }
  }

  // Every request waits for the gate first.
  template <typename Call>
  json send(Call&& call) {
    gate_.pass();
    return call();
  }

  void carry_out(corvane::api::API& api, const Action& action, Result& result) {
    switch (action.kind) {
      case ActionKind::kOk:
        return;
      case ActionKind::kCreate:
        result.machine_id = create(api, *action.meter);
        return;
      case ActionKind::kStart:
        start(api, action);
        return;
      case ActionKind::kUpdate:
        if (update_failed_) {
          result.outcome = Outcome::kSkipped;
          result.error = "an earlier update failed";
          return;
        }
        update(api, action);
        return;
      case ActionKind::kDuplicate:
      case ActionKind::kOrphan:
        if (!options_.prune) {
          result.outcome = Outcome::kSkipped;
          result.error = "kept (no --prune)";
          return;
        }
        destroy(api, action);
        return;
    }
  }

  // The same request as the adapter's create.
  std::string create(corvane::api::API& api, const Meter& meter) {
    const json answer = checked(
        send([&] {
          return api.create(app_, adapter_.image(), {*options_.cmd},
                            {.port = meter.port,
                             .name = mediator_name(meter.serial),
                             .env_vars = adapter_._env_vars(meter.ip_address, meter.cert_auth),
                             .metadata = adapter_._metadata(meter.meter_id, meter.ip_address),
                             .extra_config = {{"region", adapter_.region()}}});
        }),
        "create refused");
    auto id = records::text_at(answer, "id");
    if (!id) throw Failure("create answered without a machine id");
    return *id;
  }

  void start(corvane::api::API& api, const Action& action) {
    const std::string& id = *action.machine_id;
    checked(send([&] { return api.start(app_, id); }), "start refused");
    const std::string instance = records::text_at(action.machine, "instance_id").value_or("");
    checked(send([&] { return api.wait(app_, id, instance, "started"); }), "machine did not start");
  }

  void update(corvane::api::API& api, const Action& action) {
    const std::string& id = *action.machine_id;
    const Meter& meter = *action.meter;
    const std::string listed_version = records::text_at(action.machine, "instance_id").value_or("");
    // The listing is brief; the update must carry the whole config, so it is read in full.
    const json current = checked(send([&] { return api.get(app_, id); }), "cannot read machine");
    if (records::text_at(current, "instance_id").value_or("") != listed_version) {
      throw Failure("machine changed since it was listed");
    }
    if (!current.contains("config") || !current["config"].is_object()) {
      throw Failure("machine has no config to update");
    }
    json config = current["config"];
    for (const auto& [section, wanted] :
         {std::pair{"metadata", adapter_._metadata(meter.meter_id, meter.ip_address)},
          std::pair{"env", adapter_._env_vars(meter.ip_address, meter.cert_auth)}}) {
      if (!config[section].is_object()) config[section] = json::object();
      config[section].update(wanted);
    }
    if (!adapter_.image().empty()) config["image"] = adapter_.image();
    const auto& changes = action.changes;
    if (std::find(changes.begin(), changes.end(), "port") != changes.end()) {
      json& services = config["services"];
      if (!services.is_array() || services.empty() || !services.front().is_object()) {
        services = json::array({tcp_service(meter.port)});
      } else {
        services.front()["internal_port"] = meter.port;
        json& ports = services.front()["ports"];
        if (!ports.is_array() || ports.empty() || !ports.front().is_object()) {
          ports = json::array({{{"port", meter.port}}});
        } else {
          ports.front()["port"] = meter.port;
        }
      }
    }
    const json answer = checked(send([&] { return api.update(app_, id, config, listed_version); }),
                                "update refused");
    const std::string version = records::text_at(answer, "instance_id").value_or("");
    checked(send([&] { return api.wait(app_, id, version, "started"); }),
            "machine did not start after the update");
  }

  void destroy(corvane::api::API& api, const Action& action) {
    const std::string& id = *action.machine_id;
    const std::string state = records::text_at(action.machine, "state").value_or("");
    if (state != "stopped" && state != "created" && state != "failed") {
      checked(send([&] { return api.stop(app_, id); }), "stop refused");
      const std::string instance = records::text_at(action.machine, "instance_id").value_or("");
      checked(send([&] { return api.wait(app_, id, instance, "stopped"); }),
              "machine did not stop");
    }
    checked(send([&] { return api.destroy(app_, id, false, adapter_.region()); }),
            "destroy refused");
  }

  adapter::vostrel::FlyAdapter& adapter_;
  const Plan& plan_;
  const ApplyOptions& options_;
  const std::string app_;
  Gate gate_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> update_failed_{false};
  std::mutex progress_mutex_;
  std::vector<Result> results_;
  std::size_t done_ = 0, failed_ = 0;
  const Clock::time_point started_;
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
  }
  return "?";
}

std::size_t Report::count(Outcome outcome) const {
  return static_cast<std::size_t>(std::count_if(
      results.begin(), results.end(), [outcome](const Result& r) { return r.outcome == outcome; }));
}

Report apply(adapter::vostrel::FlyAdapter& adapter, const Plan& plan, const ApplyOptions& options) {
  if (options.parallel < 1) throw std::invalid_argument("parallel must be at least 1");
  const bool creates = std::any_of(plan.actions.begin(), plan.actions.end(),
                                   [](const Action& a) { return a.kind == ActionKind::kCreate; });
  if (creates && adapter.image().empty()) {
    throw std::invalid_argument("creating mediators needs an image");
  }
  if (creates && (!options.cmd || options.cmd->empty())) {
    throw std::invalid_argument("creating mediators needs the command they run");
  }
  return Run(adapter, plan, options).run();
}

}  // namespace quelmar::orchestrate::fleet
