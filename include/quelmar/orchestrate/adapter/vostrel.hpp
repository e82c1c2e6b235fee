// FlyAdapter: the mediator machines of one Fly application, and where their
// service is reached.
#pragma once

#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/api.hpp"
#include "quelmar/orchestrate/adapter/base_adapter.hpp"
#include "quelmar/orchestrate/adapter/container.hpp"
#include "quelmar/orchestrate/adapter/mediator.hpp"
#include "quelmar/util/logging.hpp"
#include "quelmar/util/secrets.hpp"

namespace quelmar::orchestrate::adapter::vostrel {

using container::Container;
using container::ContainerEnvironment;
using container::ContainerState;
using mediator::KeyError;
using mediator::kMediatorPrefix;
using mediator::Mediator;

// Standard input, standard output and ending the process. The defaults are the
// real process; tests replace them.
struct Console {
  std::istream* in = nullptr;   // null: std::cin
  std::ostream* out = nullptr;  // null: std::cout
  // Called after standard output was flushed. Should not return; if it does,
  // ProcessExit(status) is thrown so that nothing continues. Empty: std::exit.
  std::function<void(int status)> exit{};
};

// Thrown when a replaced Console::exit returns instead of ending the process.
class ProcessExit : public std::exception {
 public:
  explicit ProcessExit(int status) : status_(status) {}
  int status() const noexcept { return status_; }
  const char* what() const noexcept override { return "process exit requested"; }

 private:
  int status_;
};

// A listing (or another request the caller needs an answer to) that failed: the platform
// refused it or gave no usable answer. what() is the reason as text; answer() is the failure
// map, verdict() and status() say how it failed.
class PlatformError : public std::runtime_error {
 public:
  explicit PlatformError(corvane::api::Answer answer);
  const nlohmann::json& answer() const noexcept { return answer_.value; }
  corvane::api::Verdict verdict() const noexcept { return answer_.verdict; }
  long status() const noexcept { return answer_.status; }

 private:
  corvane::api::Answer answer_;
};

// A DNS look-up of the mediator service's host that found no address. what() says which
// look-up of which app failed and why; reason() is the DNS client's own text.
class LookupFailed : public std::runtime_error {
 public:
  LookupFailed(bool private_network, const std::string& app, const std::string& reason);
  bool private_network() const noexcept { return private_network_; }
  const std::string& reason() const noexcept { return reason_; }
  // The process exit status that reports it: 10 private, 11 public.
  int exit_status() const noexcept { return private_network_ ? 10 : 11; }

 private:
  bool private_network_;
  std::string reason_;
};

// A small immutable map that keeps its insertion order.
template <typename Key, typename Value>
class ConstantMap {
 public:
  using value_type = std::pair<Key, Value>;

  ConstantMap(std::initializer_list<value_type> entries) : entries_(entries) {}
  explicit ConstantMap(std::vector<value_type> entries) : entries_(std::move(entries)) {}

  // Throws KeyError naming the key when it is not in the map.
  const Value& at(const Key& key) const {
    for (const auto& [k, v] : entries_) {
      if (k == key) return v;
    }
    throw KeyError(key_text(key));
  }
  bool contains(const Key& key) const {
    for (const auto& entry : entries_) {
      if (entry.first == key) return true;
    }
    return false;
  }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  static std::string key_text(const Key& key) {
    if constexpr (std::is_convertible_v<const Key&, std::string>) {
      return key;
    } else {
      return to_string(key);
    }
  }
  std::vector<value_type> entries_;
};

// The module logger, shared by every adapter.
extern const std::shared_ptr<util::logging::Logger> logger;

// Container state to the platform's machine-state text, and back. UNKNOWN is in
// neither: a state filter cannot select it, and other texts convert to it.
extern const ConstantMap<ContainerState, std::string> FLY_STATUS;
extern const ConstantMap<std::string, ContainerState> CONTAINER_STATUS;

// Whether a machine record's configuration metadata holds `key` equal to
// `value`. The predicate keeps its own copies.
std::function<bool(const nlohmann::json& machine)> metadata_filter_fn(std::string key,
                                                                      std::string value);

// Every field has a default member initializer so that designated initializers
// may leave any of them out without a warning.
struct FlyAdapterOptions {
  std::string api_token{};
  std::string dns_server{};
  std::string image{};
  bool is_single_meter_app = false;
  std::optional<std::string> app_name{};
  std::optional<std::string> serial{};
  std::optional<bool> use_private_address{};
  std::optional<std::string> region{};
  // Client settings (base URL, time-outs, retry sleep seam).
  corvane::api::ClientOptions client{};
  // Replaces the built-in public resolver ("ADDR[:PORT]" or "[V6]:PORT").
  std::optional<std::string> public_resolver{};
  Console console{};
};

struct CreateRequest {
  std::string cmd{};
  std::string meter_id{};
  std::string serial{};
  std::string ip_address{};
  std::optional<int> port{};
  std::optional<int> additional_internal_port{};
  bool skip_confirm = false;
  bool use_cert_auth = false;
};

// One step of destroy_machine, and what its observer may say about it.
enum class DestroyStep { kStop, kGet, kWait, kDestroy };
// Called with each step's answer; returning false ends the sequence there.
using DestroyObserver = std::function<bool(DestroyStep step, const corvane::api::Answer& answer)>;

struct DestroyOptions {
  // Destroy at once, even a running machine: no stop and no wait.
  bool force = false;
  // Stop and wait for "stopped" first (unless forced); off for a machine known to be stopped.
  bool stop_first = true;
  // The instance to wait for; absent: read with a get after the stop.
  std::optional<std::string> instance_id{};
};

// The line destroy() prints for a step's answer: "stop_rsp [ID]: ANSWER" (also "wait_rsp",
// "destroy_rsp"), the id and the answer inert for a terminal.
std::string destroy_step_line(DestroyStep step, const std::string& id,
                              const nlohmann::json& answer);

// Operations that need the application name throw std::logic_error when the
// adapter was built without one, before any request or query.
class FlyAdapter : public base_adapter::BaseAdapter {
 public:
  // Throws std::runtime_error for a single-meter app without a serial.
  explicit FlyAdapter(FlyAdapterOptions options);

  // Mediator machines in platform order, optionally only those whose metadata
  // holds the (key, value) entry and those in the given state. A machine in a
  // state outside the seven known ones is listed as UNKNOWN. A platform failure
  // is logged and gives an empty list.
  std::vector<Container> list(
      const std::optional<std::pair<std::string, std::string>>& metadata_filter = std::nullopt,
      const std::optional<ContainerState>& status_filter = std::nullopt);
  // The same listing, but a failed one throws PlatformError, so that a caller
  // can tell it from an application without machines.
  std::vector<Container> list_strict(
      const std::optional<std::pair<std::string, std::string>>& metadata_filter = std::nullopt,
      const std::optional<ContainerState>& status_filter = std::nullopt);

  // Asks the operator (unless skip_confirm), then creates the meter's machine
  // and returns its id. Refusal or a platform failure ends the process with 1.
  std::string create(const CreateRequest& request);

  // The platform's answer: a failure map holding "error" when it refused.
  nlohmann::json start(const std::string& id);
  nlohmann::json stop(const std::string& id);
  // Unless forced, stops the machine and waits for "stopped" first. Prints
  // every response and returns the destroy response.
  nlohmann::json destroy(const std::string& id, bool force = false);

  // The address of the meter's mediator service; absent when no machine
  // serves the meter.
  std::optional<std::string> mediator_address(const std::string& meter_id,
                                              const std::string& serial);
  std::string get_app_address(const Container& machine);
  // These end the process (11 public, 10 private) when the look-up fails.
  std::string get_public_address();
  std::string get_private_address_for_single_meter_app(const Container& machine);
  std::string get_private_address(const Container& machine);
  std::string get_private_flycast_ip();

  // --- Operations for tools that act on many machines: they never prompt, print or end the
  // process, and every answer comes with the client's verdict. ---

  // Every mediator of the application in `region` (empty: every region), in listing order,
  // handed to `take` one at a time as the listing is read. Throws PlatformError when the
  // listing fails in any way; KeyError for a record without a name, or a mediator's name
  // without a config.
  void each_mediator(const std::string& region, const std::function<void(Mediator&&)>& take);

  // The create request of a meter's mediator: the one body that create and every other
  // creator send.
  nlohmann::json create_body(const CreateRequest& request) const;
  // Sends a create body as it is.
  corvane::api::Answer create_machine(const nlohmann::json& body);
  corvane::api::Answer start_machine(const std::string& id);
  corvane::api::Answer stop_machine(const std::string& id);
  corvane::api::Answer get_machine(const std::string& id);
  corvane::api::Answer wait_machine(const std::string& id, const std::string& instance_id,
                                    const std::string& state);
  corvane::api::Answer update_machine(const std::string& id, const nlohmann::json& config,
                                      const std::string& current_version);
  // Stop, wait until stopped, destroy: the sequence destroy() runs too. Each answer goes to
  // `observe`, which may end the sequence; returns the last answer.
  corvane::api::Answer destroy_machine(const std::string& id, const DestroyOptions& options,
                                       const DestroyObserver& observe);

  // The host of the mediator service in the adapter's addressing mode (the private flycast
  // IPv6 address, or the public IPv4 address). Throws LookupFailed instead of ending the process.
  std::string resolve_service_host();
  // Where a mediator is reached in the adapter's addressing mode, given that host and the
  // mediator's service port: "[V6]:PORT" (44444 in a single-meter app) or "V4:50051".
  std::string service_address(const std::string& host, int service_port) const;

  // An adapter with the same settings and a connection of its own; `adjust` may change its
  // client settings (retry sleep, cancellation).
  FlyAdapter clone(const std::function<void(corvane::api::ClientOptions&)>& adjust = {}) const;

  corvane::api::API& api() { return api_; }
  const std::string& dns_server() const { return dns_server_; }
  const std::string& image() const { return image_; }
  bool is_single_meter_app() const { return is_single_meter_app_; }
  const std::optional<std::string>& fly_app() const { return fly_app_; }
  const std::optional<std::string>& serial() const { return serial_; }
  const std::string& region() const { return region_; }
  bool use_private_address() const { return use_private_address_; }

 private:
  enum class AddressMode { kPublic, kPrivate, kPrivateSingleMeter };
  static std::string address_in_mode(AddressMode mode, const std::string& host, int port);
  std::string lookup_public_host();
  std::string lookup_private_host();
  const std::string& require_app(const char* operation) const;
  std::ostream& out() const;
  void print_line(const std::string& text) const;
  [[noreturn]] void end_process(int status) const;

  FlyAdapterOptions settings_;  // as given, for clone()
  util::SecretScope token_secret_;
  corvane::api::API api_;
  std::string dns_server_;
  std::string image_;
  bool is_single_meter_app_;
  std::optional<std::string> fly_app_;
  std::optional<std::string> serial_;
  std::string region_;
  bool use_private_address_;
  std::string public_resolver_;
  Console console_;
};

}  // namespace quelmar::orchestrate::adapter::vostrel
