// A mediator machine's config: the one place that knows its JSON shape. It builds a meter's
// create request, reads the fields this program uses from a listed config, says how two
// configs differ, field by field, and brings a listed one in step with a meter.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace quelmar::orchestrate::adapter::machine_config {

// What the create request of a meter's mediator is made from.
struct MediatorRequest {
  std::string region{};
  std::string image{};
  std::vector<std::string> cmd{};
  std::string meter_id{};
  std::string serial{};
  std::string ip_address{};
  std::optional<int> port{};
  std::optional<int> additional_internal_port{};
  bool cert_auth = false;
};

// The create request of a meter's mediator, named "mediator-" + serial: the one body every
// creator sends. Throws std::invalid_argument for a port outside 1..65535.
nlohmann::json create_request(const MediatorRequest& request);

// How a create request differs from every one this program builds for a meter in a region.
enum class RequestMismatch { kRegion, kMeter, kContent };
// Absent when `request` is exactly the create request this program builds for `meter_id` in
// `region` from the fields it shows.
std::optional<RequestMismatch> check_create_request(const nlohmann::json& request,
                                                    const std::string& meter_id,
                                                    const std::string& region);

// A port is an integer in 1..65535; anything else (a float, a huge number, text) is none.
std::optional<int> port_of(const nlohmann::json& value);

// One field in which two configs differ, named by its path in the config: "image",
// "init.cmd", "env.METER_IP_ADDRESS", "services[0].ports[0].port", a key that is no plain
// word as env["A.B"]. An absent side is a field that one config lacks (not a JSON null).
struct Difference {
  std::string path{};
  std::optional<nlohmann::json> from{};
  std::optional<nlohmann::json> to{};
  bool operator==(const Difference&) const = default;
};

// Every field in which `to` differs from `from`, in path order. Objects are compared key by
// key; arrays of objects of the same length element by element; any other array, and any
// other value, as a whole.
std::vector<Difference> differences(const nlohmann::json& from, const nlohmann::json& to);

// What keeping a config in step compares besides the meter's own fields (metadata.ip_address,
// env.METER_IP_ADDRESS, env.USE_CERT_AUTH, the first service's port).
struct Compared {
  bool image = false;
  bool cmd = false;
};

// `listed` with the compared fields set to those of `wanted` (a create request's config) where
// they differ; everything else as it was listed. A first service without a usable port gets
// the wanted services.
nlohmann::json in_step(nlohmann::json listed, const nlohmann::json& wanted, Compared compared);

// A machine's config as the platform sent it, kept whole so that what is sent back loses
// nothing, with typed reads of the fields this program uses. Every read is absent when the
// field is missing or of another type.
class MachineConfig {
 public:
  MachineConfig() = default;
  explicit MachineConfig(nlohmann::json raw) : raw_(std::move(raw)) {}
  // The config a create request holds (null when it holds none).
  static MachineConfig of_request(const nlohmann::json& request);

  const nlohmann::json& json() const& { return raw_; }
  nlohmann::json json() && { return std::move(raw_); }
  bool is_null() const { return raw_.is_null(); }

  std::optional<std::string> image() const;
  // init.cmd, when it is a sequence of texts.
  std::optional<std::vector<std::string>> command() const;
  // The metadata and environment maps (null when absent) and the texts read from them.
  nlohmann::json metadata() const;
  nlohmann::json env() const;
  std::optional<std::string> meter_id() const;
  std::optional<std::string> ip_address() const;
  // The environment's cert-auth flag, when it is "true" or "false".
  std::optional<bool> cert_auth() const;
  // The first service's first port, when it is a port.
  std::optional<int> service_port() const;

  // Every field in which `to` differs from this config, in path order.
  std::vector<Difference> differences_to(const MachineConfig& to) const;
  // This config with the compared fields set to those of `wanted` where they differ.
  MachineConfig in_step_with(const MachineConfig& wanted, Compared compared) const;

  bool operator==(const MachineConfig&) const = default;

 private:
  nlohmann::json raw_ = nullptr;
};

// A create request's fields as a plan shows them, in this order: region, name, image, cmd,
// meter_id, serial (the name after "mediator-"), ip_address, env.METER_IP_ADDRESS (only when it
// differs from ip_address), port (the first service's) and cert_auth; absent ones empty.
std::vector<std::pair<std::string, std::optional<nlohmann::json>>> create_fields(
    const nlohmann::json& request);

}  // namespace quelmar::orchestrate::adapter::machine_config
