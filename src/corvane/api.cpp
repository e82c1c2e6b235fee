#include "corvane/api.hpp"

#include <algorithm>
#include <utility>

#include "answer_mapping.hpp"
#include "listing_parser.hpp"
#include "quelmar/util/json_text.hpp"
#include "request_guards.hpp"
#include "retry_policy.hpp"
#include "transport.hpp"

namespace corvane::api {

namespace {

using nlohmann::json;
using retry::RetryOn;
using std::chrono::milliseconds;
using transport::Method;
using transport::Request;

constexpr int kWaitTimeoutMax = 60;

json tcp_service(int port) {
  return json{
      {"protocol", "tcp"}, {"internal_port", port}, {"ports", json::array({{{"port", port}}})}};
}

transport::Settings settings_of(const std::string& token, const ClientOptions& options) {
  guards::require_token(token);
  std::string base_url = options.base_url;
  while (!base_url.empty() && base_url.back() == '/') base_url.pop_back();
  if (base_url.empty()) throw std::invalid_argument("base URL is empty");
  const bool plain_http = guards::require_safe_base_url(base_url);
  return {.base_url = std::move(base_url),
          .plain_http = plain_http,
          .ca_file = options.ca_file,
          .connect_timeout = options.connect_timeout,
          .authorization =
              "Authorization: " + (token.rfind("FlyV1 ", 0) == 0 ? token : "Bearer " + token),
          .cancelled = options.waits_cancelled};
}

}  // namespace

json create_body(const std::string& image, const std::vector<std::string>& cmd,
                 const CreateOptions& options) {
  guards::require_object(options.env_vars, "env_vars");
  guards::require_object(options.metadata, "metadata");
  guards::require_object(options.extra_config, "extra_config");
  guards::require_port(options.port, "port");
  guards::require_port(options.additional_internal_port, "additional_internal_port");
  json services = json::array();
  if (options.port) services.push_back(tcp_service(*options.port));
  if (options.additional_internal_port) {
    services.push_back(tcp_service(*options.additional_internal_port));
  }
  // Built field by field: a plan builds one for every meter, and nested initializer lists
  // would build and copy each part twice.
  json config = json::object();
  config["image"] = image;
  config["init"]["cmd"] = cmd;
  config["env"] = options.env_vars;
  config["metadata"] = options.metadata;
  config["services"] = std::move(services);
  json body = json::object();
  body["name"] = options.name;
  for (const auto& [key, value] : options.extra_config.items()) {
    if (key == "config" && value.is_object()) {
      config.update(value);
    } else {
      body[key] = value;
    }
  }
  body["config"] = std::move(config);
  return body;
}

struct API::Impl {
  ClientOptions options;
  transport::Transport transport;
  retry::Retrier retrier;

  Impl(const std::string& token, ClientOptions opts)
      : options(std::move(opts)),
        transport(settings_of(token, options)),
        retrier(transport,
                {.max_retries = options.max_retries,
                 .initial_backoff = options.initial_backoff,
                 .max_backoff = options.max_backoff},
                options.sleep) {}

  std::string escape(const std::string& text) {
    // libcurl ignores the handle here (since 7.82).
    detail::CurlStringPtr escaped(
        curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
    if (!escaped) throw Error("cannot URL-encode a request part");
    return escaped.get();
  }

  std::string machines_path(const std::string& app) {
    guards::require_path_segment(app, "app name");
    return "/v1/apps/" + escape(app) + "/machines";
  }

  std::string machine_path(const std::string& app, const std::string& id) {
    guards::require_path_segment(id, "machine id");
    return machines_path(app) + "/" + escape(id);
  }

  std::string query(const std::vector<std::pair<std::string, std::string>>& params) {
    std::string text;
    for (const auto& [key, value] : params) {
      text += (text.empty() ? "?" : "&") + escape(key) + "=" + escape(value);
    }
    return text;
  }

  std::string listing_path(const std::string& app, const std::string& region) {
    std::vector<std::pair<std::string, std::string>> params;
    if (!region.empty()) params.emplace_back("region", region);
    return machines_path(app) + query(params);
  }

  Answer call(Method method, std::string path, std::optional<std::string> body, RetryOn retry_on) {
    const Request request{.method = method,
                          .path = std::move(path),
                          .body = std::move(body),
                          .timeout = options.request_timeout};
    return answers::answer_of(retrier.send(request, retry_on));
  }

  Answer wait(const std::string& app, const std::string& id, const std::string& instance_id,
              const std::string& state) {
    const int hold = std::clamp(options.wait_timeout_seconds, 1, kWaitTimeoutMax);
    std::vector<std::pair<std::string, std::string>> params;
    if (!instance_id.empty()) params.emplace_back("instance_id", instance_id);
    params.emplace_back("state", state);
    params.emplace_back("timeout", std::to_string(hold));
    const Request request{.method = Method::kGet,
                          .path = machine_path(app, id) + "/wait" + query(params),
                          .timeout = std::chrono::seconds(hold) +
                                     std::max(options.wait_grace, std::chrono::seconds(0)),
                          .cancellable = true};
    const auto total = std::max<long long>(options.wait_total.count(), 0);
    return answers::answer_of(retrier.send_until_not_timed_out(request, (total + hold - 1) / hold));
  }
};

API::API(std::string api_token, ClientOptions options)
    : impl_(std::make_unique<Impl>(api_token, std::move(options))) {}

API::~API() = default;

API::Impl& API::impl() {
  if (!impl_) throw std::logic_error("use of a moved-from Machines API client");
  return *impl_;
}
API::API(API&&) noexcept = default;
API& API::operator=(API&&) noexcept = default;

Answer API::list_machines(const std::string& app, const std::string& region,
                          const std::function<void(nlohmann::json&&)>& take) {
  listing::Reader reader(take);
  const Request request{.method = Method::kGet,
                        .path = impl().listing_path(app, region),
                        .timeout = impl().options.request_timeout,
                        .consume = [&reader](long status, std::string_view bytes) {
                          return reader.feed(status, bytes);
                        }};
  // Only answers that are not 2xx are sent again, so no record is ever handed over twice.
  const transport::Response response =
      impl().retrier.send(request, RetryOn::kThrottlingAndServerErrors);
  return reader.finish(response);
}

Answer API::create_machine(const std::string& app, const nlohmann::json& body) {
  guards::require_object(body, "create body");
  // Only throttling is safe to retry: a create that failed on the server may still have run.
  return impl().call(Method::kPost, impl().machines_path(app), body.dump(), RetryOn::kThrottling);
}

Answer API::start_machine(const std::string& app, const std::string& id) {
  return impl().call(Method::kPost, impl().machine_path(app, id) + "/start", std::nullopt,
                     RetryOn::kThrottlingAndServerErrors);
}

Answer API::stop_machine(const std::string& app, const std::string& id) {
  return impl().call(Method::kPost, impl().machine_path(app, id) + "/stop", std::nullopt,
                     RetryOn::kThrottlingAndServerErrors);
}

Answer API::get_machine(const std::string& app, const std::string& id) {
  return impl().call(Method::kGet, impl().machine_path(app, id), std::nullopt,
                     RetryOn::kThrottlingAndServerErrors);
}

Answer API::wait_machine(const std::string& app, const std::string& id,
                         const std::string& instance_id, const std::string& state) {
  return impl().wait(app, id, instance_id, state);
}

Answer API::destroy_machine(const std::string& app, const std::string& id, bool force) {
  const std::string path =
      impl().machine_path(app, id) + impl().query({{"force", force ? "true" : "false"}});
  return impl().call(Method::kDelete, path, std::nullopt, RetryOn::kThrottlingAndServerErrors);
}

Answer API::update_machine(const std::string& app, const std::string& id,
                           const nlohmann::json& config, const std::string& current_version) {
  guards::require_object(config, "config");
  const std::string path = impl().machine_path(app, id);
  json body{{"config", config}};
  if (!current_version.empty()) body["current_version"] = current_version;
  // Like create, an update that failed on the server may still have run.
  return impl().call(Method::kPost, path, body.dump(), RetryOn::kThrottling);
}

nlohmann::json API::list(const std::string& app, const std::string& region) {
  Answer answer = impl().call(Method::kGet, impl().listing_path(app, region), std::nullopt,
                              RetryOn::kThrottlingAndServerErrors);
  if (answer.done() && !answer.value.is_array()) {
    answer = answers::unusable(answer.status,
                               "expected a list of machines, got: " +
                                   answers::truncated(quelmar::util::dump_json(answer.value)));
  }
  return std::move(answer).plain();
}

nlohmann::json API::create(const std::string& app, const std::string& image,
                           const std::vector<std::string>& cmd, const CreateOptions& options) {
  const json body = create_body(image, cmd, options);
  return create_machine(app, body).plain();
}

nlohmann::json API::start(const std::string& app, const std::string& id) {
  return start_machine(app, id).plain();
}

nlohmann::json API::stop(const std::string& app, const std::string& id) {
  return stop_machine(app, id).plain();
}

nlohmann::json API::get(const std::string& app, const std::string& id) {
  return get_machine(app, id).plain();
}

nlohmann::json API::wait(const std::string& app, const std::string& id,
                         const std::string& instance_id, const std::string& state) {
  return wait_machine(app, id, instance_id, state).plain();
}

nlohmann::json API::destroy(const std::string& app, const std::string& id, bool force,
                            [[maybe_unused]] const std::string& region) {
  return destroy_machine(app, id, force).plain();
}

}  // namespace corvane::api
