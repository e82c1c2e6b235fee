#include "quelmar/orchestrate/adapter/mediator.hpp"

#include <cstdint>

#include "quelmar/orchestrate/adapter/base_adapter.hpp"
#include "quelmar/orchestrate/adapter/machine_state.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::adapter::mediator {

namespace {

using nlohmann::json;

const json* find(const json& record, const char* key) {
  if (!record.is_object()) return nullptr;
  auto found = record.find(key);
  return found == record.end() ? nullptr : &*found;
}

std::optional<std::string> text_at(const json& record, const char* key) {
  const json* value = find(record, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

// Only an integer in 1..65535 is a port; anything else (a float, a huge number, text) would not
// convert to one without undefined behaviour.
std::optional<int> as_port(const json& value) {
  if (value.is_number_unsigned()) {
    const auto port = value.get<std::uint64_t>();
    if (port >= 1 && port <= 65535) return static_cast<int>(port);
  } else if (value.is_number_integer()) {
    const auto port = value.get<std::int64_t>();
    if (port >= 1 && port <= 65535) return static_cast<int>(port);
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> command_of(const json& config) {
  const json* init = find(config, "init");
  const json* cmd = init == nullptr ? nullptr : find(*init, "cmd");
  if (cmd == nullptr || !cmd->is_array()) return std::nullopt;
  std::vector<std::string> parts;
  for (const json& part : *cmd) {
    if (!part.is_string()) return std::nullopt;
    parts.push_back(part.get<std::string>());
  }
  return parts;
}

}  // namespace

KeyError::KeyError(std::string key) : KeyError(std::move(key), std::string()) {}

KeyError::KeyError(std::string key, const std::string& message)
    : std::out_of_range(message.empty() ? "missing key '" + key + "'" : message),
      key_(std::move(key)) {}

const json& at_key(const json& record, const std::string& key) {
  if (record.is_object()) {
    auto found = record.find(key);
    if (found != record.end()) return *found;
  }
  throw KeyError(key);
}

bool is_mediator(const json& record) {
  const json& name = at_key(record, "name");
  if (!name.is_string() || !name.get_ref<const std::string&>().starts_with(kMediatorPrefix)) {
    return false;
  }
  return !at_key(record, "config").is_null();
}

int first_service_port(const json& config, const std::string& machine_id) {
  const json& services = at_key(config, "services");
  if (!services.is_array() || services.empty()) {
    throw KeyError("services", "machine " + machine_id + " has no service in 'services'");
  }
  const json& ports = at_key(services.front(), "ports");
  if (!ports.is_array() || ports.empty()) {
    throw KeyError("ports", "machine " + machine_id + " has no service port in 'ports'");
  }
  const json& port = at_key(ports.front(), "port");
  if (auto valid = as_port(port)) return *valid;
  throw KeyError("port", "machine " + machine_id +
                             " has no valid service port in 'port': " + util::dump_json(port));
}

bool is_dead(const Mediator& mediator) {
  return mediator.platform_state && machine_state::is_dead(*mediator.platform_state);
}

Mediator read_mediator(json&& record) {
  Mediator m;
  if (const json* id = find(record, "id")) m.id = util::text_form(*id);
  m.name = text_at(record, "name").value_or("");
  m.region = text_at(record, "region");
  if (const json* state = find(record, "state")) {
    m.platform_state = util::text_form(*state);
    m.state = machine_state::state_of(*m.platform_state);
  }
  m.instance_id = text_at(record, "instance_id");
  m.private_ip = text_at(record, "private_ip");
  if (json* config =
          record.is_object() && record.contains("config") ? &record["config"] : nullptr) {
    m.config = std::move(*config);
  }
  const json& config = m.config;
  m.image = text_at(config, "image");
  m.command = command_of(config);
  if (const json* metadata = find(config, "metadata")) m.metadata = *metadata;
  m.meter_id = text_at(m.metadata, base_adapter::kMeterIdKey);
  m.ip_address = text_at(m.metadata, base_adapter::kIpAddressKey);
  if (const json* env = find(config, "env")) m.env = *env;
  if (auto flag = text_at(m.env, base_adapter::kUseCertAuthEnv)) {
    if (*flag == "true" || *flag == "false") m.cert_auth = *flag == "true";
  }
  try {
    m.service_port = first_service_port(config, m.id.value_or(""));
  } catch (const KeyError&) {
    // No usable port: the field stays empty.
  }
  return m;
}

Container to_container(Mediator&& m) {
  Container c;
  if (!m.id) throw KeyError("id");
  c.id = *m.id;
  c.name = m.name;
  c.image = util::text_form(at_key(m.config, "image"));
  c.port = first_service_port(m.config, c.id);
  if (!m.platform_state) throw KeyError("state");
  c.platform_state = *m.platform_state;
  c.status = m.state;
  c.container_environment = container::ContainerEnvironment::FLY;
  if (m.metadata.is_null() && !(m.config.is_object() && m.config.contains("metadata"))) {
    throw KeyError("metadata");
  }
  c.metadata = std::move(m.metadata);
  return c;
}

}  // namespace quelmar::orchestrate::adapter::mediator
