// The mediator machines of one Fly application, without a console: every operation here
// returns or throws, and never prompts, prints or ends the process. The fleet and the command
// line use this core; FlyAdapter puts the interactive operations on top of it.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "corvane/api.hpp"
#include "quelmar/orchestrate/adapter/mediator.hpp"
#include "quelmar/util/secrets.hpp"

namespace quelmar::orchestrate::adapter::vostrel {

using mediator::KeyError;
using mediator::Mediator;

// The adapter's words for the client's: an answer with its verdict, and the client's settings
// (base URL, time-outs, retries, the sleep and cancellation seams).
using Answer = corvane::api::Answer;
using Verdict = corvane::api::Verdict;
using ClientOptions = corvane::api::ClientOptions;

// A listing (or another request the caller needs an answer to) that failed: the platform
// refused it or gave no usable answer. what() is the reason as text; answer() is the failure
// map, verdict() and status() say how it failed.
class PlatformError : public std::runtime_error {
 public:
  explicit PlatformError(Answer answer);
  const nlohmann::json& answer() const noexcept { return answer_.value; }
  Verdict verdict() const noexcept { return answer_.verdict; }
  long status() const noexcept { return answer_.status; }

 private:
  Answer answer_;
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

// Every field has a default member initializer so that designated initializers may leave any
// of them out without a warning.
struct MachinesOptions {
  std::string api_token{};
  std::string dns_server{};
  std::string image{};
  bool is_single_meter_app = false;
  std::optional<std::string> app_name{};
  std::optional<std::string> serial{};
  std::optional<bool> use_private_address{};
  std::optional<std::string> region{};
  ClientOptions client{};
  // Replaces the built-in public resolver ("ADDR[:PORT]" or "[V6]:PORT").
  std::optional<std::string> public_resolver{};
};

struct CreateRequest {
  std::string cmd{};
  std::string meter_id{};
  std::string serial{};
  std::string ip_address{};
  std::optional<int> port{};
  std::optional<int> additional_internal_port{};
  bool skip_confirm = false;  // no confirmation dialogue first (the core itself never asks)
  bool use_cert_auth = false;
};

// One step of destroy_machine, and what its observer may say about it.
enum class DestroyStep { kStop, kGet, kWait, kDestroy };
// Called with each step's answer; returning false ends the sequence there.
using DestroyObserver = std::function<bool(DestroyStep step, const Answer& answer)>;

struct DestroyOptions {
  // Destroy at once, even a running machine: no stop and no wait.
  bool force = false;
  // Stop and wait for "stopped" first (unless forced); off for a machine known to be stopped.
  bool stop_first = true;
  // The instance to wait for; absent: read with a get after the stop.
  std::optional<std::string> instance_id{};
};

// Operations that need the application name throw std::logic_error when the core was built
// without one, before any request or query.
class Machines {
 public:
  // Throws std::runtime_error for a single-meter app without a serial.
  explicit Machines(MachinesOptions options);

  // Every mediator of the application in `region` (empty: every region), in listing order,
  // handed to `take` one at a time as the listing is read. Throws PlatformError when the
  // listing fails in any way; KeyError for a record without a name, or a mediator's name
  // without a config.
  void each_mediator(const std::string& region, const std::function<void(Mediator&&)>& take);

  // The create request of a meter's mediator: the one body that every creator sends.
  nlohmann::json create_body(const CreateRequest& request) const;
  // Sends a create body as it is.
  Answer create_machine(const nlohmann::json& body);
  Answer start_machine(const std::string& id);
  Answer stop_machine(const std::string& id);
  Answer get_machine(const std::string& id);
  Answer wait_machine(const std::string& id, const std::string& instance_id,
                      const std::string& state);
  Answer update_machine(const std::string& id, const nlohmann::json& config,
                        const std::string& current_version);
  // Stop, wait until stopped, destroy. Each answer goes to `observe`, which may end the
  // sequence; returns the last answer.
  Answer destroy_machine(const std::string& id, const DestroyOptions& options,
                         const DestroyObserver& observe);

  // The host of the mediator service in the addressing mode (the private flycast IPv6
  // address, or the public IPv4 address). Throws LookupFailed.
  std::string resolve_service_host();
  // Where a mediator is reached in the addressing mode, given that host and the mediator's
  // service port: "[V6]:PORT" (44444 in a single-meter app) or "V4:50051".
  std::string service_address(const std::string& host, int service_port) const;

  // The same settings with a connection of its own; `adjust` may change its client settings
  // (retry sleep, cancellation).
  Machines clone(const std::function<void(ClientOptions&)>& adjust = {}) const;

  corvane::api::API& api() { return api_; }
  const std::string& dns_server() const { return dns_server_; }
  const std::string& image() const { return image_; }
  bool is_single_meter_app() const { return is_single_meter_app_; }
  const std::optional<std::string>& fly_app() const { return fly_app_; }
  const std::optional<std::string>& serial() const { return serial_; }
  const std::string& region() const { return region_; }
  bool use_private_address() const { return use_private_address_; }
  // The application name; std::logic_error naming `operation` when the core has none.
  const std::string& require_app(const char* operation) const;

 protected:
  enum class AddressMode { kPublic, kPrivate, kPrivateSingleMeter };
  static std::string address_in_mode(AddressMode mode, const std::string& host, int port);
  std::string lookup_public_host();
  std::string lookup_private_host();

 private:
  MachinesOptions settings_;  // as given, for clone()
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
};

}  // namespace quelmar::orchestrate::adapter::vostrel
