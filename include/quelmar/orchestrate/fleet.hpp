// Fleet operations: keeping an application's mediators in step with the meter inventory.
//
// inventory (a CSV file of meters) -> plan (one listing compared with it) -> apply (the plan's
// actions, several at a time), and every meter's address from one listing and one look-up.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/api.hpp"
#include "quelmar/orchestrate/adapter/vostrel.hpp"

namespace quelmar::orchestrate::fleet {

inline constexpr int DEFAULT_METER_PORT = 50051;

// One row of the inventory.
struct Meter {
  std::string meter_id{};
  std::string serial{};
  std::string ip_address{};
  int port = DEFAULT_METER_PORT;
  bool cert_auth = false;
  std::size_t line = 0;  // where its row starts in the file
};

struct InventoryProblem {
  std::size_t line = 0;
  std::string message{};  // holds the file's own text unescaped
};

// The problems an inventory lists at most; the rest are only counted.
inline constexpr std::size_t MAX_INVENTORY_PROBLEMS = 100;

// Meters in file order, or the problems found; a file with problems yields no meters.
struct Inventory {
  std::vector<Meter> meters{};
  // The first MAX_INVENTORY_PROBLEMS by line (those of one line in the order found).
  std::vector<InventoryProblem> problems{};
  std::size_t more_problems = 0;  // found beyond those listed
};

// CSV (RFC 4180, UTF-8, a header row, columns in any order): meter_id, serial, ip_address
// required; port (default 50051) and cert_auth (true/false, default false) optional. A file
// without any meter row is a problem ("no meter rows", on the header's line).
Inventory parse_inventory(std::string_view text);
// Throws std::runtime_error when the file cannot be read or is larger than 64 MiB.
Inventory read_inventory(const std::string& path);

// The machine name a meter's mediator gets ("mediator-" + serial).
std::string mediator_name(const std::string& serial);

enum class ActionKind { kCreate, kUpdate, kStart, kOk, kDuplicate, kOrphan };
// "create", "update", ...
std::string to_string(ActionKind kind);

struct Action {
  ActionKind kind = ActionKind::kOk;
  std::string meter_id{};                   // empty for an orphan without one
  std::optional<std::string> machine_id{};  // absent for create
  std::vector<std::string> changes{};       // update only: what differs
  std::optional<Meter> meter{};             // the inventory row, for create, update, start, ok
  nlohmann::json machine = nullptr;         // the listed record, when there is one
};

struct Summary {
  std::size_t create = 0, update = 0, start = 0, ok = 0, duplicate = 0, orphan = 0;
};

struct Plan {
  std::string app{};
  // Inventory order, then duplicates and orphans in listing order.
  std::vector<Action> actions{};
  Summary summary() const;
  bool in_step() const;  // every action is ok
};

// The app's mediators as the adapter's list sees them (name "mediator-...", a config present),
// from one brief listing. Throws std::runtime_error with the platform's reason on a failure.
nlohmann::json list_mediators(adapter::vostrel::FlyAdapter& adapter);

// Compares listed mediators with the meters. The image is compared only when given.
Plan make_plan(const std::string& app, const std::vector<Meter>& meters,
               const nlohmann::json& mediators, const std::optional<std::string>& image);
// One listing through the adapter; the adapter's image, when set, is compared.
Plan plan(adapter::vostrel::FlyAdapter& adapter, const std::vector<Meter>& meters);

enum class Outcome { kOk, kFailed, kSkipped };
std::string to_string(Outcome outcome);  // "ok", "failed", "skipped"

struct Result {
  ActionKind action = ActionKind::kOk;
  std::string meter_id{};
  std::optional<std::string> machine_id{};
  Outcome outcome = Outcome::kOk;
  std::string error{};  // why it failed or was skipped
};

struct Progress {
  std::size_t done = 0, total = 0, failed = 0;
  std::chrono::steady_clock::duration elapsed{};
};

struct ApplyOptions {
  // Each worker opens its own connection with these.
  std::string api_token{};
  corvane::api::ClientOptions client{};
  // The command created mediators run; needed only when the plan creates.
  std::optional<std::string> cmd{};
  int parallel = 4;
  // Destroy duplicates and orphans; otherwise they are skipped.
  bool prune = false;
  // Once set, no new action starts; those in flight finish.
  const std::atomic<bool>* interrupted = nullptr;
  // Called after each finished action, from the worker that finished it, one call at a time.
  std::function<void(const Progress&)> progress{};
};

struct Report {
  std::vector<Result> results{};  // in plan order
  bool interrupted = false;
  std::size_t count(Outcome outcome) const;
};

// Carries out the plan. Throws std::invalid_argument before any request when it creates and
// the adapter has no image or no cmd was given. One failure never stops other actions; after the
// first failed update no further update starts. A back-off of any worker (429) pauses them all.
Report apply(adapter::vostrel::FlyAdapter& adapter, const Plan& plan, const ApplyOptions& options);

struct MeterAddress {
  std::string meter_id{};
  std::string machine_id{};
  std::string address{};
};

// Each meter's mediator address, as the adapter's mediator_address would give it, from one
// listing and one DNS look-up; meters in listing order. A failed look-up ends the process as in
// the adapter; a failed listing throws std::runtime_error.
std::vector<MeterAddress> addresses(adapter::vostrel::FlyAdapter& adapter);

}  // namespace quelmar::orchestrate::fleet
