#include "quelmar/orchestrate/adapter/machines.hpp"

#include <exception>
#include <utility>

#include "dns_resolver.hpp"
#include "quelmar/orchestrate/adapter/machine_config.hpp"
#include "quelmar/orchestrate/adapter/machine_state.hpp"
#include "quelmar/util/host_port.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::adapter::vostrel {

namespace {

using nlohmann::json;

constexpr const char* kPublicResolver = "8.8.8.8";
constexpr const char* kPublicAppSuffix = ".fly.dev";
constexpr const char* kFlycastSuffix = ".flycast";
constexpr int kPublicServicePort = 50051;
constexpr int kSingleMeterPrivatePort = 44444;

// The service's host: the app's public A record through the public resolver, or its private
// flycast AAAA record through the name server of the tunnel.
std::string lookup_host(const std::string& app, const std::string& server, bool private_network) {
  dns::Resolver resolver(dns::parse_name_server(server));
  try {
    return private_network ? resolver.first_address(app + kFlycastSuffix, dns::RecordType::kAaaa)
                           : resolver.first_address(app + kPublicAppSuffix, dns::RecordType::kA);
  } catch (const std::exception& e) {
    throw LookupFailed(private_network, app, e.what());
  }
}

}  // namespace

Machines::Machines(MachinesOptions options)
    : settings_(options),
      token_secret_(options.api_token),
      api_(std::move(options.api_token), std::move(options.client)),
      dns_server_(std::move(options.dns_server)),
      image_(std::move(options.image)),
      is_single_meter_app_(options.is_single_meter_app),
      fly_app_(std::move(options.app_name)),
      serial_(std::move(options.serial)),
      region_(options.region.has_value() ? std::move(*options.region)
                                         : std::string(corvane::api::FLY_REGION_DEFAULT)),
      use_private_address_(options.use_private_address.value_or(!is_single_meter_app_)),
      public_resolver_(options.public_resolver.value_or(kPublicResolver)) {
  if (is_single_meter_app_ && !serial_.has_value()) {
    throw std::runtime_error("FlyAdapter needs a serial to work with a single meter app");
  }
}

Machines Machines::clone(const std::function<void(ClientOptions&)>& adjust) const {
  MachinesOptions options = settings_;
  if (adjust) adjust(options.client);
  return Machines(std::move(options));
}

PlatformError::PlatformError(Answer answer)
    : std::runtime_error(answer.reason()), answer_(std::move(answer)) {}

LookupFailed::LookupFailed(bool private_network, const std::string& app, const std::string& reason)
    : std::runtime_error(private_network
                             ? "cannot resolve the private (flycast) address of " + app + ": " +
                                   reason + " (has the WireGuard tunnel been started?)"
                             : "cannot resolve the public address of " + app + ": " + reason),
      private_network_(private_network),
      reason_(reason) {}

void Machines::each_mediator(const std::string& region,
                             const std::function<void(Mediator&&)>& take) {
  const std::string& app = require_app("each_mediator");
  std::exception_ptr bad_record;
  Answer answer = api_.list_machines(app, region, [&](json&& machine) {
    if (bad_record) return;
    try {
      if (mediator::is_mediator(machine)) take(mediator::read_mediator(std::move(machine)));
    } catch (...) {
      bad_record = std::current_exception();
    }
  });
  if (!answer.done()) throw PlatformError(std::move(answer));
  if (bad_record) std::rethrow_exception(bad_record);
}

json Machines::create_body(const CreateRequest& request) const {
  return machine_config::create_request(
      {.region = region_,
       .image = image_,
       .cmd = {request.cmd},
       .meter_id = request.meter_id,
       .serial = request.serial,
       .ip_address = request.ip_address,
       .port = request.port,
       .additional_internal_port = request.additional_internal_port,
       .cert_auth = request.use_cert_auth});
}

Answer Machines::create_machine(const json& body) {
  return api_.create_machine(require_app("create"), body);
}

Answer Machines::start_machine(const std::string& id) {
  return api_.start_machine(require_app("start"), id);
}

Answer Machines::wait_machine(const std::string& id, const std::string& instance_id,
                              const std::string& state) {
  return api_.wait_machine(require_app("wait"), id, instance_id, state);
}

Answer Machines::update_machine(const std::string& id, const json& config,
                                const std::string& current_version) {
  return api_.update_machine(require_app("update"), id, config, current_version);
}

Answer Machines::stop_machine(const std::string& id) {
  return api_.stop_machine(require_app("stop"), id);
}

Answer Machines::get_machine(const std::string& id) {
  return api_.get_machine(require_app("get"), id);
}

Answer Machines::destroy_machine(const std::string& id, const DestroyOptions& options,
                                 const DestroyObserver& observe) {
  const std::string& app = require_app("destroy");
  if (!options.force && options.stop_first) {
    Answer stopped = api_.stop_machine(app, id);
    if (!observe(DestroyStep::kStop, stopped)) return stopped;
    std::string instance_id;
    if (options.instance_id) {
      instance_id = *options.instance_id;
    } else {
      Answer machine = api_.get_machine(app, id);
      if (!observe(DestroyStep::kGet, machine)) return machine;
      if (!machine.value.is_object() || !machine.value.contains("instance_id")) {
        // Usually a failure map: keep the platform's reason in the message.
        throw KeyError("instance_id", "missing key 'instance_id' in machine " + id + ": " +
                                          util::dump_json(machine.value));
      }
      instance_id = util::text_form(machine.value["instance_id"]);
    }
    Answer waited = api_.wait_machine(app, id, instance_id, std::string(machine_state::kStopped));
    if (!observe(DestroyStep::kWait, waited)) return waited;
  }
  Answer destroyed = api_.destroy_machine(app, id, options.force);
  observe(DestroyStep::kDestroy, destroyed);
  return destroyed;
}

std::string Machines::address_in_mode(AddressMode mode, const std::string& host, int port) {
  switch (mode) {
    case AddressMode::kPublic:
      return host + ":" + std::to_string(kPublicServicePort);
    case AddressMode::kPrivateSingleMeter:
      return util::host_port(host, kSingleMeterPrivatePort);
    case AddressMode::kPrivate:
      break;
  }
  return util::host_port(host, static_cast<unsigned>(port));
}

std::string Machines::service_address(const std::string& host, int service_port) const {
  const AddressMode mode = !use_private_address_  ? AddressMode::kPublic
                           : is_single_meter_app_ ? AddressMode::kPrivateSingleMeter
                                                  : AddressMode::kPrivate;
  return address_in_mode(mode, host, service_port);
}

std::string Machines::lookup_public_host() {
  return lookup_host(require_app("get_public_address"), public_resolver_, false);
}

std::string Machines::lookup_private_host() {
  return lookup_host(require_app("get_private_flycast_ip"), dns_server_, true);
}

std::string Machines::resolve_service_host() {
  return use_private_address_ ? lookup_private_host() : lookup_public_host();
}

const std::string& Machines::require_app(const char* operation) const {
  if (!fly_app_.has_value()) {
    throw std::logic_error(std::string("FlyAdapter needs an app name (app_name) for ") + operation);
  }
  return *fly_app_;
}

}  // namespace quelmar::orchestrate::adapter::vostrel
