// Fleet operations: keeping an application's mediators in step with the meter inventory.
//
// inventory (a CSV file of meters) -> plan (one listing compared with it) -> apply (the plan's
// actions, several at a time), and every meter's address from one listing and one look-up.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/api.hpp"
#include "quelmar/orchestrate/adapter/machine_config.hpp"
#include "quelmar/orchestrate/adapter/vostrel.hpp"
#include "quelmar/util/clock.hpp"

namespace quelmar::orchestrate::fleet {

inline constexpr int DEFAULT_METER_PORT = 50051;
// A machine name is at most 63 characters, the mediator prefix included.
inline constexpr std::size_t MAX_SERIAL_LENGTH = 54;

// One row of the inventory.
struct Meter {
  std::string meter_id{};
  std::string serial{};
  std::string ip_address{};
  int port = DEFAULT_METER_PORT;
  bool cert_auth = false;
  std::size_t line = 0;  // where its row starts in the file
  // Its profile-log directory relative to a replica root, as bytes (decoded from the key
  // encoding of the audit's JSON output); empty when it has none.
  std::string directory{};
  // The days it is in service, inclusive; an absent end is open.
  std::optional<std::chrono::year_month_day> commissioned{};
  std::optional<std::chrono::year_month_day> decommissioned{};
};

// Whether the meter is in service on `day`: not yet commissioned or already decommissioned
// means out of service, and then it has no mediator.
bool in_service(const Meter& meter, std::chrono::year_month_day day);
// The meters in service on `day`, in order.
std::vector<Meter> in_service(const std::vector<Meter>& meters, std::chrono::year_month_day day);

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
  // read_inventory: the SHA-256 of the file's bytes, in lower-case hex, so that a plan can
  // name the inventory it was made from.
  std::string sha256{};
};

// What the inventory is read for: the fleet needs meter_id, serial and ip_address; the audit of
// profile logs needs meter_id and directory, and checks only the columns it uses.
enum class InventoryUse { kFleet, kAudit };

// CSV (RFC 4180, UTF-8, a header row, columns in any order): meter_id, serial, ip_address
// required; port (default 50051) and cert_auth (true/false, default false) optional, an empty
// cell taking the default; directory (a path below the root in the key encoding of the audit's
// JSON output, unique), commissioned and decommissioned (YYYY-MM-DD, inclusive) optional and may
// be empty. A file
// without any meter row is a problem ("no meter rows", on the header's line).
Inventory parse_inventory(std::string_view text, InventoryUse use = InventoryUse::kFleet);
// Throws std::runtime_error when the file cannot be read or is larger than 64 MiB.
Inventory read_inventory(const std::string& path, InventoryUse use = InventoryUse::kFleet);
// The same from a stream (standard input); `name` says what it is in error messages.
Inventory read_inventory(std::istream& in, const std::string& name,
                         InventoryUse use = InventoryUse::kFleet);

// The machine name a meter's mediator gets ("mediator-" + serial).
std::string mediator_name(const std::string& serial);

enum class ActionKind { kCreate, kUpdate, kStart, kOk, kDuplicate, kOrphan };
// "create", "update", ...
std::string to_string(ActionKind kind);

// A field in which the config to send differs from the listed one, by its path in the config
// ("metadata.ip_address", "env.USE_CERT_AUTH", "services[0].ports[0].port", "image", ...).
using Change = adapter::machine_config::Difference;

// A listed machine as an action names it.
struct Machine {
  std::string id{};
  std::string name{};
  std::string region{};
  std::string state{};        // the platform's text
  std::string instance_id{};  // the version the plan saw
  // Its config as listed, as compact JSON text: compact, since a plan names every mediator.
  std::string config{};
};

struct Action {
  ActionKind kind = ActionKind::kOk;
  std::string meter_id{};            // empty for an orphan without one
  std::optional<Machine> machine{};  // absent for create
  std::vector<Change> changes{};     // update only: every field the body changes
  // create: the whole create request; update: the whole config to send, as read from the
  // platform with only the changed fields replaced. Null when it cannot be built (a create
  // without an image or a command).
  nlohmann::json body = nullptr;
  // duplicate and orphan: destroyed when true, kept otherwise.
  bool prune = false;
  // duplicate: its meter's primary mediator, which must be in step before it is destroyed.
  std::optional<std::string> primary_id{};

  bool destroys() const;
  // Whether applying it sends anything.
  bool has_work() const;
};

struct Summary {
  std::size_t create = 0, update = 0, start = 0, ok = 0, duplicate = 0, orphan = 0;
  std::size_t destroy = 0;  // duplicates and orphans the plan destroys
  std::size_t kept = 0;     // duplicates and orphans it keeps
};

struct Plan {
  std::string app{};
  std::string region{};  // where creates go
  std::string inventory_sha256{};
  bool prune = false;
  // Inventory order, then duplicates and orphans in listing order.
  std::vector<Action> actions{};
  Summary summary() const;
  // Nothing to do: every action is ok or keeps a machine.
  bool in_step() const;
};

struct PlanOptions {
  // Destroy duplicates and orphans.
  bool prune = false;
  // The command mediators run: compared with the listed ones, and needed to create.
  std::optional<std::string> cmd{};
  // Recorded in the plan, for a plan file.
  std::string inventory_sha256{};
};

// Whether a listed mediator is on its way out ("destroyed", "destroying"): such a record is
// nobody's mediator, duplicate or orphan.
bool is_dead(const adapter::vostrel::Mediator& mediator);

// Lists the app's mediators in every region once and compares them with the meters. A meter's
// primary mediator is its first "started" one in listing order, else its first listed; the
// others are duplicates. The image is compared when the adapter has one, the command when
// given. Creates go to the adapter's region. Throws PlatformError when the listing fails.
Plan plan(adapter::vostrel::FlyAdapter& adapter, const std::vector<Meter>& meters,
          const PlanOptions& options = {});

// --- plan files ---

inline constexpr int PLAN_FORMAT = 2;
// The most bytes a plan file may hold.
inline constexpr std::uint64_t MAX_PLAN_FILE_BYTES = std::uint64_t{256} << 20;

// A plan file that cannot be used: malformed, contradicting itself, of another format version
// or another app. what() is the reason alone, for the caller to put after the file's name.
class PlanFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Readers of a plan take the app it must be for (absent: any).
// The plan as a plan file holds it: data, never redacted. Every machine it names carries its
// config as listed, so that what an update changes can be checked and shown from the file.
nlohmann::json plan_to_json(const Plan& plan);
// Throws PlanFileError, also for a plan that contradicts itself: a create to another region
// or for another meter than its action's, an action's prune other than the plan's, an update
// whose changes are not exactly how its config differs from the listed one, a duplicate whose
// primary is not the machine of its meter's own action, a machine named twice.
Plan plan_from_json(const nlohmann::json& document, const std::optional<std::string>& app);
// The whole text of a plan file: one JSON document (trailing white space allowed), read in
// time linear in its size. Throws PlanFileError.
Plan plan_from_text(std::string_view text, const std::optional<std::string>& app);
// Written whole or not at all, readable by the owner only (it may hold secrets of the configs).
// Throws std::runtime_error.
void write_plan_file(const std::string& path, const Plan& plan);
// A plan file must be a regular file of at most MAX_PLAN_FILE_BYTES that only its reader (or
// root) owns and can change. Throws util::FileRefused or PlanFileError.
Plan read_plan_file(const std::string& path, const std::optional<std::string>& app);

// A machine a saved plan names that is no longer as the plan saw it, or a meter the plan
// would create a mediator for that has one now.
struct StaleMachine {
  std::string machine_id{};
  std::string meter_id{};
  std::string what{};  // what changed: "no longer listed", "state stopped -> started", ...
};

// Lists the app's mediators once and compares every machine the plan names (with its listed
// instance_id, state and config) and every meter it creates for. Empty when the plan still
// holds. Throws PlatformError when the listing fails.
std::vector<StaleMachine> stale_machines(adapter::vostrel::FlyAdapter& adapter, const Plan& plan);

// --- apply ---

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

struct ApplyOptions {
  int parallel = 4;
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
Report apply(adapter::vostrel::FlyAdapter& adapter, const Plan& plan, const ApplyOptions& options);

// --- one machine ---

// Waits, as apply does, until the machine is in `state` ("started" or "stopped"), within the
// client's wait budget (ClientOptions::wait_timeout_seconds and wait_total). Done once it is;
// refused when the platform says no (no such machine, the wait ran out: 408) or the wait ended
// in another state; unanswered without a usable answer. A wait for "stopped" reads the
// machine's version first, as the platform needs it.
corvane::api::Answer await_state(adapter::vostrel::FlyAdapter& adapter, const std::string& id,
                                 const std::string& state);

// --- addresses ---

struct MeterAddress {
  std::string meter_id{};
  std::string machine_id{};
  std::string address{};
};

// Each meter's primary mediator and its address, from one listing of every region and one DNS
// look-up; meters in listing order. Throws LookupFailed when the look-up fails, PlatformError
// when the listing does.
std::vector<MeterAddress> addresses(adapter::vostrel::FlyAdapter& adapter);

// One meter's primary mediator and its address by the same rule and listing as addresses(), so
// that the two never disagree: every region, dead records skipped, the first "started" one,
// else the first listed. Absent when no live mediator serves the meter; throws as addresses().
std::optional<MeterAddress> meter_address(adapter::vostrel::FlyAdapter& adapter,
                                          const std::string& meter_id);

// --- listing ---

// A listed mediator and the region it runs in.
struct ListedMachine {
  adapter::container::Container machine{};
  std::string region{};
};

struct ListFilter {
  std::string region{};  // empty: every region
  std::optional<std::string> meter_id{};
  std::optional<adapter::container::ContainerState> state{};
};

// The app's mediators that pass `filter`, in listing order, dead records included as the
// platform lists them. Throws PlatformError when the listing fails, KeyError for a mediator
// record without a field a Container needs.
std::vector<ListedMachine> list_machines(adapter::vostrel::FlyAdapter& adapter,
                                         const ListFilter& filter);

}  // namespace quelmar::orchestrate::fleet
