// A mediator machine's config as JSON: the one place that knows which of its fields the fleet
// keeps in step, and how two configs differ, field by field.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace quelmar::orchestrate::adapter::machine_config {

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

// A create request's fields as a plan shows them, in this order: region, name, image, cmd,
// meter_id, serial (the name after "mediator-"), ip_address, env.METER_IP_ADDRESS (only when it
// differs from ip_address), port (the first service's) and cert_auth; absent ones empty.
std::vector<std::pair<std::string, std::optional<nlohmann::json>>> create_fields(
    const nlohmann::json& request);

}  // namespace quelmar::orchestrate::adapter::machine_config
