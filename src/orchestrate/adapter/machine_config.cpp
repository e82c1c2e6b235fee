#include "quelmar/orchestrate/adapter/machine_config.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>

#include "corvane/api.hpp"
#include "json_member.hpp"
#include "quelmar/orchestrate/adapter/base_adapter.hpp"
#include "quelmar/orchestrate/adapter/machine_name.hpp"

namespace quelmar::orchestrate::adapter::machine_config {

namespace {

using base_adapter::kIpAddressKey;
using base_adapter::kMeterIdKey;
using base_adapter::kMeterIpAddressEnv;
using base_adapter::kUseCertAuthEnv;
using json_member::member;
using json_member::text_of;
using nlohmann::json;

bool plain_word(const std::string& key) {
  if (key.empty() || (key.front() >= '0' && key.front() <= '9')) return false;
  return std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

std::string key_path(const std::string& parent, const std::string& key) {
  if (!plain_word(key))
    return parent + "[" + json(key).dump(-1, ' ', true, json::error_handler_t::replace) + "]";
  return parent.empty() ? key : parent + "." + key;
}

// Arrays whose differing elements are all objects are compared element by element: a
// service's port shows as itself, not as the whole list of services.
bool by_element(const json& from, const json& to) {
  if (from.size() != to.size()) return false;
  for (std::size_t i = 0; i < from.size(); ++i) {
    if (from[i] != to[i] && !(from[i].is_object() && to[i].is_object())) return false;
  }
  return true;
}

void compare(const std::string& path, const json& from, const json& to,
             std::vector<Difference>& found) {
  if (from.is_object() && to.is_object()) {
    auto a = from.begin();
    auto b = to.begin();
    // Both are ordered by key: one pass over the two.
    while (a != from.end() || b != to.end()) {
      if (b == to.end() || (a != from.end() && a.key() < b.key())) {
        found.push_back({key_path(path, a.key()), *a, std::nullopt});
        ++a;
      } else if (a == from.end() || b.key() < a.key()) {
        found.push_back({key_path(path, b.key()), std::nullopt, *b});
        ++b;
      } else {
        compare(key_path(path, a.key()), *a, *b, found);
        ++a;
        ++b;
      }
    }
    return;
  }
  if (from == to) return;
  if (from.is_array() && to.is_array() && by_element(from, to)) {
    for (std::size_t i = 0; i < from.size(); ++i) {
      compare(path + "[" + std::to_string(i) + "]", from[i], to[i], found);
    }
    return;
  }
  found.push_back({path, from, to});
}

json& object_at(json& parent, const char* key) {
  json& child = parent[key];
  if (!child.is_object()) child = json::object();
  return child;
}

void set(json& config, const char* object, const char* key, const json& value) {
  const json* current = nullptr;
  if (auto found = config.find(object); found != config.end() && found->is_object()) {
    if (auto inner = found->find(key); inner != found->end()) current = &*inner;
  }
  if (current == nullptr || *current != value) object_at(config, object)[key] = value;
}

const json* first(const json* value) {
  return value != nullptr && value->is_array() && !value->empty() ? &value->front() : nullptr;
}

std::optional<int> first_port(const json& config) {
  const json* port = member(first(member(first(member(&config, "services")), "ports")), "port");
  return port == nullptr ? std::nullopt : port_of(*port);
}

// Absent members read as null, so that a request of any shape can be compared.
const json& at(const json& object, const char* key) {
  static const json absent;
  const json* found = member(&object, key);
  return found == nullptr ? absent : *found;
}

const json& first_of(const json& array) {
  static const json absent;
  const json* found = first(&array);
  return found == nullptr ? absent : *found;
}

// The shape every adapter gives a mediator's metadata and environment.
const base_adapter::BaseAdapter kShape;

std::optional<json> copy(const json* value) {
  return value != nullptr ? std::optional<json>(*value) : std::nullopt;
}

}  // namespace

std::optional<int> port_of(const json& value) {
  if (value.is_number_unsigned()) {
    const auto port = value.get<std::uint64_t>();
    if (port >= 1 && port <= 65535) return static_cast<int>(port);
  } else if (value.is_number_integer()) {
    const auto port = value.get<std::int64_t>();
    if (port >= 1 && port <= 65535) return static_cast<int>(port);
  }
  return std::nullopt;
}

json create_request(const MediatorRequest& r) {
  return corvane::api::create_body(r.image, r.cmd,
                                   {.port = r.port,
                                    .additional_internal_port = r.additional_internal_port,
                                    .name = machine_name::mediator_name(r.serial),
                                    .env_vars = kShape._env_vars(r.ip_address, r.cert_auth),
                                    .metadata = kShape._metadata(r.meter_id, r.ip_address),
                                    .extra_config = {{"region", r.region}}});
}

std::optional<RequestMismatch> check_create_request(const json& request,
                                                    const std::string& meter_id,
                                                    const std::string& region) {
  if (at(request, "region") != region) return RequestMismatch::kRegion;
  const json& config = at(request, "config");
  const json& metadata = at(config, "metadata");
  if (at(metadata, kMeterIdKey) != meter_id) return RequestMismatch::kMeter;
  const json& env = at(config, "env");
  const auto port = port_of(at(first_of(at(first_of(at(config, "services")), "ports")), "port"));
  if (!port) return RequestMismatch::kContent;
  try {
    const json rebuilt = corvane::api::create_body(
        at(config, "image").get<std::string>(),
        at(at(config, "init"), "cmd").get<std::vector<std::string>>(),
        {.port = port,
         .name = at(request, "name").get<std::string>(),
         .env_vars = {{kMeterIpAddressEnv, at(env, kMeterIpAddressEnv)},
                      {kUseCertAuthEnv, at(env, kUseCertAuthEnv)}},
         .metadata = {{kMeterIdKey, meter_id}, {kIpAddressKey, at(metadata, kIpAddressKey)}},
         .extra_config = {{"region", region}}});
    if (rebuilt == request) return std::nullopt;
  } catch (const std::exception&) {
    // A field of the wrong type: not a request this program builds.
  }
  return RequestMismatch::kContent;
}

std::vector<Difference> differences(const json& from, const json& to) {
  std::vector<Difference> found;
  compare("", from, to, found);
  return found;
}

json in_step(json config, const json& wanted, Compared compared) {
  if (!config.is_object()) config = json::object();
  set(config, "metadata", kIpAddressKey, wanted.at("metadata").at(kIpAddressKey));
  for (const char* key : {kMeterIpAddressEnv, kUseCertAuthEnv}) {
    set(config, "env", key, wanted.at("env").at(key));
  }
  const json& wanted_port = wanted.at("services").at(0).at("ports").at(0).at("port");
  const auto port = first_port(config);
  if (!port || json(*port) != wanted_port) {
    json& services = config["services"];
    const bool usable = services.is_array() && !services.empty() && services.front().is_object() &&
                        services.front()["ports"].is_array() &&
                        !services.front()["ports"].empty() &&
                        services.front()["ports"].front().is_object();
    if (!usable) {
      services = wanted.at("services");
    } else {
      services.front()["internal_port"] = wanted_port;
      services.front()["ports"].front()["port"] = wanted_port;
    }
  }
  if (compared.image && config.value("image", json()) != wanted.at("image")) {
    config["image"] = wanted.at("image");
  }
  if (compared.cmd) set(config, "init", "cmd", wanted.at("init").at("cmd"));
  return config;
}

std::vector<std::pair<std::string, std::optional<json>>> create_fields(const json& request) {
  const json* config = member(&request, "config");
  const json* name = member(&request, "name");
  const json* metadata = member(config, "metadata");
  const json* env = member(config, "env");
  const std::string prefix = machine_name::kMediatorPrefix;
  std::optional<json> serial;
  if (name != nullptr && name->is_string() &&
      name->get_ref<const std::string&>().starts_with(prefix)) {
    serial = name->get<std::string>().substr(prefix.size());
  }
  std::vector<std::pair<std::string, std::optional<json>>> fields{
      {"region", copy(member(&request, "region"))},
      {"name", copy(name)},
      {"image", copy(member(config, "image"))},
      {"cmd", copy(member(member(config, "init"), "cmd"))},
      {kMeterIdKey, copy(member(metadata, kMeterIdKey))},
      {"serial", serial},
      {kIpAddressKey, copy(member(metadata, kIpAddressKey))}};
  // The mediator reads its meter's address from the environment: shown too when it differs.
  std::optional<json> env_address = copy(member(env, kMeterIpAddressEnv));
  if (!env_address || env_address != fields.back().second) {
    fields.emplace_back(std::string("env.") + kMeterIpAddressEnv, std::move(env_address));
  }
  fields.emplace_back(
      "port", copy(member(first(member(first(member(config, "services")), "ports")), "port")));
  fields.emplace_back("cert_auth", copy(member(env, kUseCertAuthEnv)));
  return fields;
}

MachineConfig MachineConfig::of_request(const nlohmann::json& request) {
  return MachineConfig(at(request, "config"));
}

std::optional<std::string> MachineConfig::image() const { return text_of(member(&raw_, "image")); }

std::optional<std::vector<std::string>> MachineConfig::command() const {
  const nlohmann::json* cmd = member(member(&raw_, "init"), "cmd");
  if (cmd == nullptr || !cmd->is_array()) return std::nullopt;
  std::vector<std::string> parts;
  for (const nlohmann::json& part : *cmd) {
    if (!part.is_string()) return std::nullopt;
    parts.push_back(part.get<std::string>());
  }
  return parts;
}

nlohmann::json MachineConfig::metadata() const { return at(raw_, "metadata"); }

nlohmann::json MachineConfig::env() const { return at(raw_, "env"); }

std::optional<std::string> MachineConfig::meter_id() const {
  return text_of(member(member(&raw_, "metadata"), kMeterIdKey));
}

std::optional<std::string> MachineConfig::ip_address() const {
  return text_of(member(member(&raw_, "metadata"), kIpAddressKey));
}

std::optional<bool> MachineConfig::cert_auth() const {
  const auto flag = text_of(member(member(&raw_, "env"), kUseCertAuthEnv));
  if (flag != "true" && flag != "false") return std::nullopt;
  return flag == "true";
}

std::optional<int> MachineConfig::service_port() const { return first_port(raw_); }

std::vector<Difference> MachineConfig::differences_to(const MachineConfig& to) const {
  return differences(raw_, to.raw_);
}

MachineConfig MachineConfig::in_step_with(const MachineConfig& wanted, Compared compared) const {
  return MachineConfig(in_step(raw_, wanted.raw_, compared));
}

}  // namespace quelmar::orchestrate::adapter::machine_config
