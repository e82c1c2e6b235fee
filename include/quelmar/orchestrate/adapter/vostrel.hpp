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

#include "quelmar/orchestrate/adapter/base_adapter.hpp"
#include "quelmar/orchestrate/adapter/container.hpp"
#include "quelmar/orchestrate/adapter/machines.hpp"
#include "quelmar/orchestrate/adapter/mediator.hpp"
#include "quelmar/util/logging.hpp"

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
  ClientOptions client{};
  // Replaces the built-in public resolver ("ADDR[:PORT]" or "[V6]:PORT").
  std::optional<std::string> public_resolver{};
  Console console{};
};

// The core's share of the adapter's settings: everything but the console.
MachinesOptions core_options(const FlyAdapterOptions& options);

// The line destroy() prints for a step's answer: "stop_rsp [ID]: ANSWER" (also "wait_rsp",
// "destroy_rsp"), the id and the answer inert for a terminal.
std::string destroy_step_line(DestroyStep step, const std::string& id,
                              const nlohmann::json& answer);

// The create dialogue in its parts, for create() and for callers that own their console.
// The details of a meter's create request as the operator confirms them, then the question:
// "\nFly App:    APP" ... "\nMetadata:   {...}" "\n\nCreate machine with these details (y/n): ".
// The details are inert for a terminal and show no secret. Throws std::logic_error without an
// application name.
std::string create_prompt(const Machines& core, const CreateRequest& request);
// Writes the prompt to `out` and reads one line of `in`. Only the exact answer "y" confirms;
// any other answer writes "\naborting ...\n\n" and is false. Throws std::runtime_error at the
// end of input.
bool confirm_create(const Machines& core, const CreateRequest& request, std::istream& in,
                    std::ostream& out);
// Sends the meter's create request and logs the answer ("create machine response ...", then
// "create machine failed [...]" or "created machine with id ..."). The new machine's id;
// absent when the platform answered with a failure. Throws the client's Error when no answer
// came, KeyError for an answer without an id.
std::optional<std::string> create_mediator(Machines& core, const CreateRequest& request);

// The interactive operations (they may prompt, print and end the process) on the
// non-interactive core, which the adapter exposes as its base: tools that act on many machines
// take the core. Operations that need the application name throw std::logic_error when the
// adapter was built without one, before any request or query.
class FlyAdapter : public base_adapter::BaseAdapter, public Machines {
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

  // The same adapter with a connection of its own; `adjust` may change its client settings.
  FlyAdapter clone(const std::function<void(ClientOptions&)>& adjust = {}) const;

 private:
  std::ostream& out() const;
  void print_line(const std::string& text) const;
  [[noreturn]] void end_process(int status) const;

  FlyAdapterOptions settings_;  // as given, for clone()
  Console console_;
};

}  // namespace quelmar::orchestrate::adapter::vostrel
