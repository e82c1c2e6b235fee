// A listed mediator machine as one typed record, built in one place from a platform machine
// record, and the one rule that tells a mediator's record from any other machine's.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "quelmar/orchestrate/adapter/container.hpp"
#include "quelmar/orchestrate/adapter/machine_config.hpp"
#include "quelmar/orchestrate/adapter/machine_name.hpp"

namespace quelmar::orchestrate::adapter::mediator {

using container::Container;
using container::ContainerState;

using machine_name::kMediatorPrefix;

// A lookup by key that found nothing: a constant map's key, or a field that a
// platform record lacks. what() names the key.
class KeyError : public std::out_of_range {
 public:
  explicit KeyError(std::string key);
  KeyError(std::string key, const std::string& message);
  const std::string& key() const noexcept { return key_; }

 private:
  std::string key_;
};

// record[key]; throws KeyError naming the key when the record lacks it (or is no map).
const nlohmann::json& at_key(const nlohmann::json& record, const std::string& key);

// Whether a platform machine record is a mediator's: its name begins with "mediator-" and its
// "config" is not null. Throws KeyError when the record has no "name", or has a mediator's name
// but no "config" at all.
bool is_mediator(const nlohmann::json& record);

// A field absent from the record stays empty; nothing is checked beyond its type.
struct Mediator {
  std::optional<std::string> id{};  // as text, also when the platform sent a number
  std::string name{};
  std::optional<std::string> region{};
  // The platform's state text, and what it means; UNKNOWN for any text outside the known ones.
  std::optional<std::string> platform_state{};
  ContainerState state = ContainerState::UNKNOWN;
  std::optional<std::string> instance_id{};
  std::optional<std::string> private_ip{};
  std::optional<std::string> image{};
  // init.cmd, when it is a sequence of texts.
  std::optional<std::vector<std::string>> command{};
  // The config's metadata map (null when absent) and its texts the package reads.
  nlohmann::json metadata = nullptr;
  std::optional<std::string> meter_id{};
  std::optional<std::string> ip_address{};
  // The config's environment map (null when absent) and the flag the mediator reads from it.
  nlohmann::json env = nullptr;
  std::optional<bool> cert_auth{};
  // The first service's first port, when it is an integer in 1..65535.
  std::optional<int> service_port{};
  // The whole config, exactly as the platform sent it.
  machine_config::MachineConfig config{};
};

// Whether the record is on its way out ("destroying") or gone ("destroyed"): such a record is
// nobody's mediator.
bool is_dead(const Mediator& mediator);

// The typed record of a record that is_mediator accepted.
Mediator read_mediator(nlohmann::json&& record);

// The first service's first port of a config. Throws KeyError naming the first missing part
// ("services", "ports", "port"), or "port" when it is no integer in 1..65535; messages name the
// machine.
int first_service_port(const nlohmann::json& config, const std::string& machine_id);

// The package's container record of a mediator. Throws KeyError naming the first field it
// lacks, in the order id, name, image, port, state, metadata.
Container to_container(Mediator&& mediator);

}  // namespace quelmar::orchestrate::adapter::mediator
