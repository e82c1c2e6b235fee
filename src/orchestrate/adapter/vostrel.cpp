#include "quelmar/orchestrate/adapter/vostrel.hpp"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>

#include "dns_resolver.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/host_port.hpp"
#include "quelmar/util/json_text.hpp"

namespace quelmar::orchestrate::adapter::vostrel {

namespace {

using base_adapter::kMeterIdKey;
using nlohmann::json;
using util::escape_for_terminal;

constexpr const char* kPublicResolver = "8.8.8.8";
constexpr const char* kPublicAppSuffix = ".fly.dev";
constexpr const char* kFlycastSuffix = ".flycast";
constexpr const char* kPublicServicePort = "50051";
constexpr unsigned kSingleMeterPrivatePort = 44444;
constexpr int kExitCreateFailed = 1;
constexpr int kExitPrivateLookupFailed = 10;
constexpr int kExitPublicLookupFailed = 11;

// A text is itself; anything else is compact JSON.
std::string text_form(const json& value) {
  return value.is_string() ? value.get<std::string>() : util::dump_json(value);
}

const json& at_key(const json& record, const std::string& key) {
  if (record.is_object()) {
    auto found = record.find(key);
    if (found != record.end()) return *found;
  }
  throw KeyError(key);
}

// at_key for a record that is being taken apart: its fields may be moved out.
json& take_apart(json& record, const std::string& key) {
  if (record.is_object()) {
    auto found = record.find(key);
    if (found != record.end()) return *found;
  }
  throw KeyError(key);
}

std::string quoted_pair(const std::pair<std::string, std::string>& pair) {
  return "('" + pair.first + "', '" + pair.second + "')";
}

// One inert line for the terminal: a text escaped, anything else as ASCII-only
// JSON (which escapes every control and non-ASCII character itself).
std::string printable(const json& value) {
  if (value.is_string()) return escape_for_terminal(value.get_ref<const std::string&>());
  return util::dump_json(value, util::JsonCharset::kAscii);
}

bool is_failure(const json& answer) { return answer.is_object() && answer.contains("error"); }

int first_service_port(const json& config, const std::string& machine_id) {
  const json& services = at_key(config, "services");
  if (!services.is_array() || services.empty()) {
    throw KeyError("services", "machine " + machine_id + " has no service in 'services'");
  }
  const json& ports = at_key(services.front(), "ports");
  if (!ports.is_array() || ports.empty()) {
    throw KeyError("ports", "machine " + machine_id + " has no service port in 'ports'");
  }
  // Only an integer in 1..65535 is a port; anything else (a float, a huge
  // number, text) would not convert to one without undefined behaviour.
  const json& port = at_key(ports.front(), "port");
  if (port.is_number_unsigned()) {
    const auto value = port.get<std::uint64_t>();
    if (value >= 1 && value <= 65535) return static_cast<int>(value);
  } else if (port.is_number_integer()) {
    const auto value = port.get<std::int64_t>();
    if (value >= 1 && value <= 65535) return static_cast<int>(value);
  }
  throw KeyError("port", "machine " + machine_id +
                             " has no valid service port in 'port': " + util::dump_json(port));
}

// The platform's reason in a failure map, as text.
std::string failure_reason(const json& answer) {
  return is_failure(answer) ? text_form(answer["error"]) : util::dump_json(answer);
}

}  // namespace

KeyError::KeyError(std::string key) : KeyError(std::move(key), std::string()) {}

KeyError::KeyError(std::string key, const std::string& message)
    : std::out_of_range(message.empty() ? "missing key '" + key + "'" : message),
      key_(std::move(key)) {}

PlatformError::PlatformError(json answer)
    : std::runtime_error(failure_reason(answer)), answer_(std::move(answer)) {}

const std::shared_ptr<util::logging::Logger> logger =
    util::logging::get_logger("quelmar.orchestrate.adapter.vostrel", __FILE__);

// The one table of platform state texts; CONTAINER_STATUS is its inverse.
const ConstantMap<ContainerState, std::string> FLY_STATUS{
    {ContainerState::STARTED, "started"},     {ContainerState::STARTING, "starting"},
    {ContainerState::STOPPED, "stopped"},     {ContainerState::STOPPING, "stopping"},
    {ContainerState::REMOVING, "destroying"}, {ContainerState::CREATED, "created"},
    {ContainerState::FAILED, "failed"},
};

namespace {

// FLY_STATUS turned around, its entries in the order of `states`.
ConstantMap<std::string, ContainerState> inverse_of_fly_status(
    std::initializer_list<ContainerState> states) {
  std::vector<std::pair<std::string, ContainerState>> entries;
  for (const ContainerState state : states) entries.emplace_back(FLY_STATUS.at(state), state);
  return ConstantMap<std::string, ContainerState>(std::move(entries));
}

}  // namespace

const ConstantMap<std::string, ContainerState> CONTAINER_STATUS = inverse_of_fly_status(
    {ContainerState::STARTED, ContainerState::STOPPED, ContainerState::STOPPING,
     ContainerState::STARTING, ContainerState::REMOVING, ContainerState::CREATED,
     ContainerState::FAILED});

std::function<bool(const json& machine)> metadata_filter_fn(std::string key, std::string value) {
  return [key = std::move(key), value = std::move(value)](const json& machine) {
    const json& config = at_key(machine, "config");
    if (!config.is_object() || !config.contains("metadata")) return false;
    const json& metadata = config["metadata"];
    if (!metadata.is_object() || !metadata.contains(key)) return false;
    return metadata[key] == json(value);
  };
}

namespace {

// A listed mediator as a container; its metadata is moved out of the record.
Container to_container(json& machine) {
  Container c;
  c.id = text_form(at_key(machine, "id"));
  c.name = at_key(machine, "name").get<std::string>();
  json& config = take_apart(machine, "config");
  c.image = text_form(at_key(config, "image"));
  c.port = first_service_port(config, c.id);
  c.platform_state = text_form(at_key(machine, "state"));
  c.status = CONTAINER_STATUS.contains(c.platform_state) ? CONTAINER_STATUS.at(c.platform_state)
                                                         : ContainerState::UNKNOWN;
  c.container_environment = ContainerEnvironment::FLY;
  c.metadata = std::move(take_apart(config, "metadata"));
  return c;
}

}  // namespace

FlyAdapter::FlyAdapter(FlyAdapterOptions options)
    : BaseAdapter(),
      api_(std::move(options.api_token), std::move(options.client)),
      dns_server_(std::move(options.dns_server)),
      image_(std::move(options.image)),
      is_single_meter_app_(options.is_single_meter_app),
      fly_app_(std::move(options.app_name)),
      serial_(std::move(options.serial)),
      region_(options.region.has_value() ? std::move(*options.region)
                                         : std::string(corvane::api::FLY_REGION_DEFAULT)),
      use_private_address_(options.use_private_address.value_or(!is_single_meter_app_)),
      public_resolver_(options.public_resolver.value_or(kPublicResolver)),
      console_(std::move(options.console)) {
  if (is_single_meter_app_ && !serial_.has_value()) {
    throw std::runtime_error("FlyAdapter needs a serial to work with a single meter app");
  }
}

const std::string& FlyAdapter::require_app(const char* operation) const {
  if (!fly_app_.has_value()) {
    throw std::logic_error(std::string("FlyAdapter needs an app name (app_name) for ") + operation);
  }
  return *fly_app_;
}

std::ostream& FlyAdapter::out() const { return console_.out ? *console_.out : std::cout; }

void FlyAdapter::end_process(int status) const {
  out().flush();
  if (console_.exit) {
    console_.exit(status);
    throw ProcessExit(status);
  }
  std::cout.flush();
  std::exit(status);
}

std::vector<Container> FlyAdapter::list(
    const std::optional<std::pair<std::string, std::string>>& metadata_filter,
    const std::optional<ContainerState>& status_filter) {
  try {
    return list_strict(metadata_filter, status_filter);
  } catch (const PlatformError& e) {
    logger->warning("failed to get machines " + util::dump_json(e.answer()),
                    {{"fly_app", *fly_app_}});
    return {};
  }
}

std::vector<Container> FlyAdapter::list_strict(
    const std::optional<std::pair<std::string, std::string>>& metadata_filter,
    const std::optional<ContainerState>& status_filter) {
  const std::string& app = require_app("list");
  std::function<bool(const json&)> machine_filter;
  if (metadata_filter.has_value()) {
    machine_filter = metadata_filter_fn(metadata_filter->first, metadata_filter->second);
  }
  const std::string* fly_state =
      status_filter.has_value() ? &FLY_STATUS.at(*status_filter) : nullptr;

  // Each record becomes a container as soon as it is parsed, so a large listing never exists
  // as a whole. A bad record is reported only once the listing itself succeeded.
  std::vector<Container> containers;
  std::exception_ptr bad_record;
  const auto take = [&](json&& machine) {
    if (bad_record) return;
    try {
      const json& name = at_key(machine, "name");
      if (!name.is_string() || !name.get_ref<const std::string&>().starts_with(kMediatorPrefix)) {
        return;
      }
      if (at_key(machine, "config").is_null()) return;
      if (machine_filter && !machine_filter(machine)) return;
      if (fly_state != nullptr && at_key(machine, "state") != *fly_state) return;
      containers.push_back(to_container(machine));
    } catch (...) {
      bad_record = std::current_exception();
    }
  };
  json answer = api_.list_brief_each(app, region_, take);

  if (is_failure(answer)) throw PlatformError(std::move(answer));
  if (!answer.is_array()) {
    throw std::runtime_error("unexpected machine list from the platform: " +
                             util::dump_json(answer));
  }
  if (metadata_filter.has_value()) {
    logger->debug("metadata filter [" + quoted_pair(*metadata_filter) + "]");
  }
  if (status_filter.has_value()) {
    logger->debug("status filter [" + container::to_string(*status_filter) + "]");
  }
  if (bad_record) std::rethrow_exception(bad_record);
  return containers;
}

std::string FlyAdapter::create(const CreateRequest& request) {
  const std::string& app = require_app("create");
  const std::string name = kMediatorPrefix + request.serial;
  const json metadata = _metadata(request.meter_id, request.ip_address);

  if (!request.skip_confirm) {
    out() << "\nFly App:    " << escape_for_terminal(app)
          << "\nRegion:     " << escape_for_terminal(region_)
          << "\nImage:      " << escape_for_terminal(image_)
          << "\nName:       " << escape_for_terminal(name)
          << "\nMetadata:   " << escape_for_terminal(util::dump_json(metadata))
          << "\n\nCreate machine with these details (y/n): ";
    out().flush();
    std::istream& in = console_.in ? *console_.in : std::cin;
    std::string answer;
    if (!std::getline(in, answer)) {
      throw std::runtime_error("no answer to the confirmation prompt (end of input)");
    }
    if (answer != "y") {
      out() << "\naborting ...\n" << '\n';
      end_process(kExitCreateFailed);
    }
  }

  const json env_vars = _env_vars(request.ip_address, request.use_cert_auth);
  const json response = api_.create(app, image_, {request.cmd},
                                    {.port = request.port,
                                     .additional_internal_port = request.additional_internal_port,
                                     .name = name,
                                     .env_vars = env_vars,
                                     .metadata = metadata,
                                     .extra_config = {{"region", region_}}});
  logger->info("create machine response " + util::dump_json(response));

  if (response.is_object() && response.contains("error")) {
    logger->error("create machine failed [" + text_form(response["error"]) + "]");
    end_process(kExitCreateFailed);
  }
  std::string id = text_form(at_key(response, "id"));
  logger->info("created machine with id " + id, {{"machine_id", id}});
  return id;
}

json FlyAdapter::start(const std::string& id) { return api_.start(require_app("start"), id); }

json FlyAdapter::stop(const std::string& id) { return api_.stop(require_app("stop"), id); }

json FlyAdapter::destroy(const std::string& id, bool force) {
  const std::string& app = require_app("destroy");
  if (!force) {
    const json stop_rsp = api_.stop(app, id);
    out() << "stop_rsp [" << escape_for_terminal(id) << "]: " << printable(stop_rsp) << '\n';
    const json machine = api_.get(app, id);
    if (!machine.is_object() || !machine.contains("instance_id")) {
      // Usually a failure map: keep the platform's reason in the message.
      throw KeyError("instance_id", "missing key 'instance_id' in machine " + id + ": " +
                                        util::dump_json(machine));
    }
    const std::string instance_id = text_form(machine["instance_id"]);
    const json wait_rsp = api_.wait(app, id, instance_id, FLY_STATUS.at(ContainerState::STOPPED));
    out() << "wait_rsp [" << escape_for_terminal(id) << "]: " << printable(wait_rsp) << '\n';
  }
  json destroy_rsp = api_.destroy(app, id, force, region_);
  out() << "destroy_rsp [" << escape_for_terminal(id) << "]: " << printable(destroy_rsp) << '\n';
  out().flush();
  return destroy_rsp;
}

std::optional<std::string> FlyAdapter::mediator_address(const std::string& meter_id,
                                                        const std::string& /*serial*/) {
  const auto machines = list(std::pair<std::string, std::string>{kMeterIdKey, meter_id});
  if (machines.empty()) {
    out() << "no match for meters with id " << escape_for_terminal(meter_id) << '\n';
    out().flush();
    return std::nullopt;
  }
  return get_app_address(machines.front());
}

std::string FlyAdapter::get_app_address(const Container& machine) {
  if (use_private_address_) {
    return is_single_meter_app_ ? get_private_address_for_single_meter_app(machine)
                                : get_private_address(machine);
  }
  return get_public_address();
}

std::string FlyAdapter::get_public_address() {
  const std::string& app = require_app("get_public_address");
  dns::Resolver resolver(dns::parse_name_server(public_resolver_));
  try {
    const std::string name = app + kPublicAppSuffix;
    return resolver.first_address(name, dns::RecordType::kA) + ":" + kPublicServicePort;
  } catch (const std::exception& e) {
    out() << "\nFailed to resolve address [" << escape_for_terminal(e.what()) << "]\n" << '\n';
  }
  end_process(kExitPublicLookupFailed);
}

std::string FlyAdapter::get_private_flycast_ip() {
  const std::string& app = require_app("get_private_flycast_ip");
  dns::Resolver resolver(dns::parse_name_server(dns_server_));
  try {
    const std::string name = app + kFlycastSuffix;
    return resolver.first_address(name, dns::RecordType::kAaaa);
  } catch (const std::exception& e) {
    out() << "\nFailed to resolve flycast address [" << escape_for_terminal(e.what()) << "]\n"
          << '\n';
    out() << "Has Wireguard been started??\n" << '\n';
  }
  end_process(kExitPrivateLookupFailed);
}

std::string FlyAdapter::get_private_address(const Container& machine) {
  return util::host_port(get_private_flycast_ip(), static_cast<unsigned>(machine.port));
}

std::string FlyAdapter::get_private_address_for_single_meter_app(const Container& /*machine*/) {
  return util::host_port(get_private_flycast_ip(), kSingleMeterPrivatePort);
}

}  // namespace quelmar::orchestrate::adapter::vostrel
