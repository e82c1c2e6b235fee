#include "quelmar/orchestrate/adapter/mediator.hpp"

#include "json_member.hpp"
#include "quelmar/orchestrate/adapter/machine_state.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::adapter::mediator {

using json_member::member;
using json_member::text_at;
using nlohmann::json;

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
  if (auto valid = machine_config::port_of(port)) return *valid;
  throw KeyError("port", "machine " + machine_id +
                             " has no valid service port in 'port': " + util::dump_json(port));
}

bool is_dead(const Mediator& mediator) {
  return mediator.platform_state && machine_state::is_dead(*mediator.platform_state);
}

Mediator read_mediator(json&& record) {
  Mediator m;
  if (const json* id = member(record, "id")) m.id = util::text_form(*id);
  m.name = text_at(record, "name").value_or("");
  m.region = text_at(record, "region");
  if (const json* state = member(record, "state")) {
    m.platform_state = util::text_form(*state);
    m.state = machine_state::state_of(*m.platform_state);
  }
  m.instance_id = text_at(record, "instance_id");
  m.private_ip = text_at(record, "private_ip");
  if (json* config =
          record.is_object() && record.contains("config") ? &record["config"] : nullptr) {
    m.config = machine_config::MachineConfig(std::move(*config));
  }
  const machine_config::MachineConfig& config = m.config;
  m.image = config.image();
  m.command = config.command();
  m.metadata = config.metadata();
  m.meter_id = config.meter_id();
  m.ip_address = config.ip_address();
  m.env = config.env();
  m.cert_auth = config.cert_auth();
  m.service_port = config.service_port();
  return m;
}

Container to_container(Mediator&& m) {
  Container c;
  if (!m.id) throw KeyError("id");
  c.id = *m.id;
  c.name = m.name;
  const json& config = m.config.json();
  c.image = util::text_form(at_key(config, "image"));
  c.port = first_service_port(config, c.id);
  if (!m.platform_state) throw KeyError("state");
  c.platform_state = *m.platform_state;
  c.status = m.state;
  c.container_environment = container::ContainerEnvironment::FLY;
  if (m.metadata.is_null() && !(config.is_object() && config.contains("metadata"))) {
    throw KeyError("metadata");
  }
  c.metadata = std::move(m.metadata);
  return c;
}

}  // namespace quelmar::orchestrate::adapter::mediator
