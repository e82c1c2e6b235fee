#include "quelmar/orchestrate/adapter/vostrel.hpp"

#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

#include "quelmar/orchestrate/adapter/machine_name.hpp"
#include "quelmar/orchestrate/adapter/machine_state.hpp"
#include "quelmar/util/escape.hpp"
#include "quelmar/util/json_text.hpp"
#include "quelmar/util/secrets.hpp"

namespace quelmar::orchestrate::adapter::vostrel {

namespace {

using base_adapter::kMeterIdKey;
using corvane::api::Answer;
using mediator::at_key;
using nlohmann::json;
using util::escape_for_terminal;

constexpr int kExitCreateFailed = 1;

std::string quoted_pair(const std::pair<std::string, std::string>& pair) {
  return "('" + pair.first + "', '" + pair.second + "')";
}

// One inert line for the terminal: a text escaped, anything else as ASCII-only
// JSON (which escapes every control and non-ASCII character itself).
std::string printable(const json& value) {
  if (value.is_string()) return escape_for_terminal(value.get_ref<const std::string&>());
  return util::dump_json(value, util::JsonCharset::kAscii);
}

}  // namespace

std::string destroy_step_line(DestroyStep step, const std::string& id, const json& answer) {
  const char* label = "get_rsp";
  switch (step) {
    case DestroyStep::kStop:
      label = "stop_rsp";
      break;
    case DestroyStep::kWait:
      label = "wait_rsp";
      break;
    case DestroyStep::kDestroy:
      label = "destroy_rsp";
      break;
    case DestroyStep::kGet:
      break;
  }
  return std::string(label) + " [" + escape_for_terminal(id) + "]: " + printable(answer);
}

const std::shared_ptr<util::logging::Logger> logger =
    util::logging::get_logger("quelmar.orchestrate.adapter.vostrel", __FILE__);

std::string create_prompt(const Machines& core, const CreateRequest& request) {
  const std::string& app = core.require_app("create");
  const json metadata = base_adapter::BaseAdapter()._metadata(request.meter_id, request.ip_address);
  return util::redact_secrets(
             "\nFly App:    " + escape_for_terminal(app) +
             "\nRegion:     " + escape_for_terminal(core.region()) +
             "\nImage:      " + escape_for_terminal(core.image()) +
             "\nName:       " + escape_for_terminal(machine_name::mediator_name(request.serial)) +
             "\nMetadata:   " + escape_for_terminal(util::dump_json(metadata))) +
         "\n\nCreate machine with these details (y/n): ";
}

bool confirm_create(const Machines& core, const CreateRequest& request, std::istream& in,
                    std::ostream& out) {
  out << create_prompt(core, request);
  out.flush();
  std::string answer;
  if (!std::getline(in, answer)) {
    throw std::runtime_error("no answer to the confirmation prompt (end of input)");
  }
  // No trimming and no case folding: only a deliberate "y" creates.
  if (answer == "y") return true;
  out << "\naborting ...\n" << '\n';
  out.flush();
  return false;
}

std::optional<std::string> create_mediator(Machines& core, const CreateRequest& request) {
  const json response = core.create_machine(core.create_body(request)).plain();
  logger->info("create machine response " + util::dump_json(response));
  if (response.is_object() && response.contains("error")) {
    logger->error("create machine failed [" + util::text_form(response["error"]) + "]");
    return std::nullopt;
  }
  std::string id = util::text_form(at_key(response, "id"));
  logger->info("created machine with id " + id, {{"machine_id", id}});
  return id;
}

namespace {

// The platform's state table, in its order.
ConstantMap<ContainerState, std::string> fly_status() {
  std::vector<std::pair<ContainerState, std::string>> entries;
  for (const auto& [state, text] : machine_state::kStateTexts) entries.emplace_back(state, text);
  return ConstantMap<ContainerState, std::string>(std::move(entries));
}

// FLY_STATUS turned around, its entries in the order of `states`.
ConstantMap<std::string, ContainerState> inverse_of_fly_status(
    std::initializer_list<ContainerState> states) {
  std::vector<std::pair<std::string, ContainerState>> entries;
  for (const ContainerState state : states) entries.emplace_back(FLY_STATUS.at(state), state);
  return ConstantMap<std::string, ContainerState>(std::move(entries));
}

}  // namespace

// The table as the adapter's callers see it; CONTAINER_STATUS is its inverse.
const ConstantMap<ContainerState, std::string> FLY_STATUS = fly_status();

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

MachinesOptions core_options(const FlyAdapterOptions& options) {
  return {.api_token = options.api_token,
          .dns_server = options.dns_server,
          .image = options.image,
          .is_single_meter_app = options.is_single_meter_app,
          .app_name = options.app_name,
          .serial = options.serial,
          .use_private_address = options.use_private_address,
          .region = options.region,
          .client = options.client,
          .public_resolver = options.public_resolver};
}

FlyAdapter::FlyAdapter(FlyAdapterOptions options)
    : BaseAdapter(),
      Machines(core_options(options)),
      settings_(std::move(options)),
      console_(settings_.console) {}

FlyAdapter FlyAdapter::clone(const std::function<void(ClientOptions&)>& adjust) const {
  FlyAdapterOptions options = settings_;
  if (adjust) adjust(options.client);
  return FlyAdapter(std::move(options));
}

std::ostream& FlyAdapter::out() const { return console_.out ? *console_.out : std::cout; }

// Printed lines leave the program: no secret may show in them.
void FlyAdapter::print_line(const std::string& text) const {
  out() << util::redact_secrets(text) << '\n';
}

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
    // No answer at all is the client's own error, which reaches the caller.
    if (e.status() == 0) throw corvane::api::Error(e.what());
    logger->warning("failed to get machines " + util::dump_json(e.answer()),
                    {{"fly_app", *fly_app()}});
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
      if (!mediator::is_mediator(machine)) return;
      if (machine_filter && !machine_filter(machine)) return;
      if (fly_state != nullptr && at_key(machine, "state") != *fly_state) return;
      containers.push_back(mediator::to_container(mediator::read_mediator(std::move(machine))));
    } catch (...) {
      bad_record = std::current_exception();
    }
  };
  Answer answer = api().list_machines(app, region(), take);
  if (!answer.done()) throw PlatformError(std::move(answer));
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
  require_app("create");
  if (!request.skip_confirm) {
    std::istream& in = console_.in ? *console_.in : std::cin;
    if (!confirm_create(*this, request, in, out())) end_process(kExitCreateFailed);
  }
  std::optional<std::string> id = create_mediator(*this, request);
  if (!id) end_process(kExitCreateFailed);
  return std::move(*id);
}

json FlyAdapter::start(const std::string& id) { return start_machine(id).plain(); }

json FlyAdapter::stop(const std::string& id) { return stop_machine(id).plain(); }

json FlyAdapter::destroy(const std::string& id, bool force) {
  // Every answer is printed and none is judged; only the client's own errors end it.
  const Answer destroyed =
      destroy_machine(id, {.force = force}, [this, &id](DestroyStep step, const Answer& answer) {
        (void)answer.plain();  // the client's own errors end it
        if (step != DestroyStep::kGet) print_line(destroy_step_line(step, id, answer.value));
        return true;
      });
  out().flush();
  return destroyed.value;
}

std::optional<std::string> FlyAdapter::mediator_address(const std::string& meter_id,
                                                        const std::string& /*serial*/) {
  const auto machines = list(std::pair<std::string, std::string>{kMeterIdKey, meter_id});
  if (machines.empty()) {
    print_line("no match for meters with id " + escape_for_terminal(meter_id));
    out().flush();
    return std::nullopt;
  }
  return get_app_address(machines.front());
}

std::string FlyAdapter::get_app_address(const Container& machine) {
  if (use_private_address()) {
    return is_single_meter_app() ? get_private_address_for_single_meter_app(machine)
                                 : get_private_address(machine);
  }
  return get_public_address();
}

std::string FlyAdapter::get_public_address() {
  try {
    return address_in_mode(AddressMode::kPublic, lookup_public_host(), 0);
  } catch (const LookupFailed& e) {
    print_line("\nFailed to resolve address [" + escape_for_terminal(e.reason()) + "]\n");
    end_process(e.exit_status());
  }
}

std::string FlyAdapter::get_private_flycast_ip() {
  try {
    return lookup_private_host();
  } catch (const LookupFailed& e) {
    print_line("\nFailed to resolve flycast address [" + escape_for_terminal(e.reason()) + "]\n");
    print_line("Has Wireguard been started??\n");
    end_process(e.exit_status());
  }
}

std::string FlyAdapter::get_private_address(const Container& machine) {
  return address_in_mode(AddressMode::kPrivate, get_private_flycast_ip(), machine.port);
}

std::string FlyAdapter::get_private_address_for_single_meter_app(const Container& /*machine*/) {
  return address_in_mode(AddressMode::kPrivateSingleMeter, get_private_flycast_ip(), 0);
}

}  // namespace quelmar::orchestrate::adapter::vostrel
