#include "corvane/api.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <istream>
#include <mutex>
#include <random>
#include <streambuf>
#include <thread>
#include <utility>

#include "curl_handle.hpp"
#include "quelmar/util/lower.hpp"
#include "quelmar/util/redaction.hpp"

namespace corvane::api {

namespace {

using nlohmann::json;
using std::chrono::milliseconds;

constexpr std::size_t kMaxResponseBytes = 64u << 20;
constexpr std::size_t kMaxErrorText = 200;
constexpr int kWaitTimeoutMax = 60;
constexpr const char* kUserAgent = "quelmar-corvane/0.1";
// Deeper answers are refused unread: nothing a client needs nests that far, and rendering
// them recursively could exhaust the stack.
constexpr int kMaxAnswerDepth = 128;

enum class Method { kGet, kPost, kDelete };

const char* method_name(Method method) {
  switch (method) {
    case Method::kGet:
      return "GET";
    case Method::kPost:
      return "POST";
    case Method::kDelete:
      return "DELETE";
  }
  return "?";
}

// Which answers are worth sending the same request again for.
enum class RetryOn { kThrottling, kThrottlingAndServerErrors };

// How a response body is kept while it arrives.
enum class BodyStore {
  kWhole,   // one string, for answers that are read as a whole
  kPieces,  // pieces of up to kBodyPieceBytes, so that a large answer never needs one growing
            // buffer and each piece can be freed as soon as it has been parsed
};

// Large enough that the allocator usually maps each piece on its own, so that a freed piece goes
// back to the system at once instead of leaving a hole in the heap.
constexpr std::size_t kBodyPieceBytes = 256u << 10;

struct Response {
  long status = 0;
  std::string body;
  std::vector<std::string> pieces;
  BodyStore store = BodyStore::kWhole;
  std::size_t received = 0;
  std::optional<std::chrono::seconds> retry_after;
};

void ensure_curl_initialised() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) {
    throw Error(std::string("cannot initialise libcurl: ") + curl_easy_strerror(result));
  }
}

std::size_t collect_body(char* data, std::size_t size, std::size_t count, void* target) {
  auto* response = static_cast<Response*>(target);
  const std::size_t bytes = size * count;
  if (response->received + bytes > kMaxResponseBytes) return 0;  // makes curl fail the transfer
  response->received += bytes;
  if (response->store == BodyStore::kWhole) {
    response->body.append(data, bytes);
    return bytes;
  }
  for (std::size_t done = 0; done < bytes;) {
    auto& pieces = response->pieces;
    if (pieces.empty() || pieces.back().size() == kBodyPieceBytes) {
      pieces.emplace_back().reserve(kBodyPieceBytes);
    }
    const std::size_t part = std::min(bytes - done, kBodyPieceBytes - pieces.back().size());
    pieces.back().append(data + done, part);
    done += part;
  }
  return bytes;
}

// Reads a body kept in pieces as a stream, freeing every piece but the first once it has been
// read; the first is kept to quote from should the body turn out not to be JSON.
class PieceReader final : public std::streambuf {
 public:
  explicit PieceReader(std::vector<std::string>& pieces) : pieces_(pieces) {}

 protected:
  int_type underflow() override {
    if (next_ > 1) std::string().swap(pieces_[next_ - 1]);
    if (next_ >= pieces_.size()) return traits_type::eof();
    std::string& piece = pieces_[next_++];
    setg(piece.data(), piece.data(), piece.data() + piece.size());
    return piece.empty() ? underflow() : traits_type::to_int_type(piece.front());
  }

 private:
  std::vector<std::string>& pieces_;
  std::size_t next_ = 0;
};

bool is_blank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isspace(c) != 0; });
}

std::string truncated(std::string text) {
  if (text.size() > kMaxErrorText) {
    text.resize(kMaxErrorText);
    text += "...";
  }
  return text;
}

const char* reason_phrase(long status) {
  switch (status) {
    case 400:
      return "bad request";
    case 401:
      return "unauthorized";
    case 403:
      return "forbidden";
    case 404:
      return "not found";
    case 408:
      return "request timed out";
    case 409:
      return "conflict";
    case 412:
      return "precondition failed";
    case 422:
      return "unprocessable entity";
    case 429:
      return "too many requests";
    case 500:
      return "internal server error";
    case 502:
      return "bad gateway";
    case 503:
      return "service unavailable";
    case 504:
      return "gateway timeout";
    default:
      return status >= 500 ? "server error" : "request failed";
  }
}

json failure(long status, const std::string& text) {
  return json{{"error", "HTTP " + std::to_string(status) + ": " + text}};
}

// True when `text` is "." or "..", or would hold such a segment should a server decode an
// escaped '/' (or treat '\\' as one) before routing.
bool has_dot_segment(const std::string& text) {
  std::size_t begin = 0;
  while (true) {
    const std::size_t end = text.find_first_of("/\\", begin);
    const std::string part = text.substr(begin, end == std::string::npos ? end : end - begin);
    if (part == "." || part == "..") return true;
    if (end == std::string::npos) return false;
    begin = end + 1;
  }
}

// Refuses what would address another resource once placed in a path: dot segments walk up,
// control characters have no business in a name. Everything else is percent-encoded.
void require_path_segment(const std::string& text, const char* what) {
  if (text.empty()) throw std::invalid_argument(std::string(what) + " is empty");
  if (has_dot_segment(text)) {
    throw std::invalid_argument(std::string(what) +
                                " must not be or contain \".\" or \"..\" path segments");
  }
  const bool has_control =
      std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
  if (has_control) throw std::invalid_argument(std::string(what) + " contains a control character");
}

bool is_loopback_host(std::string host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  host = quelmar::util::lower(host);
  if (host == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// The token goes with every request, so plain HTTP is only good for this machine itself.
void require_safe_base_url(const std::string& base_url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
  if (!url) throw Error("cannot parse the base URL: out of memory");
  char* raw_scheme = nullptr;
  char* raw_host = nullptr;
  if (curl_url_set(url.get(), CURLUPART_URL, base_url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(url.get(), CURLUPART_SCHEME, &raw_scheme, 0) != CURLUE_OK ||
      curl_url_get(url.get(), CURLUPART_HOST, &raw_host, 0) != CURLUE_OK) {
    curl_free(raw_scheme);
    throw std::invalid_argument("base URL is not an http:// or https:// URL");
  }
  const detail::CurlStringPtr scheme(raw_scheme);
  const detail::CurlStringPtr host(raw_host);
  if (std::string(scheme.get()) == "https") return;
  if (std::string(scheme.get()) != "http") {
    throw std::invalid_argument("base URL is not an http:// or https:// URL");
  }
  if (!is_loopback_host(host.get())) {
    throw std::invalid_argument(
        "base URL uses http:// for a host other than this machine; the API token would travel "
        "in clear text (use https://)");
  }
}

// Parses an answer without recursing on it; one nested deeper than kMaxAnswerDepth is
// reported as too deep rather than parsed.
struct ParsedAnswer {
  json value;
  bool too_deep = false;
};

ParsedAnswer parse_answer(const std::string& text) {
  ParsedAnswer parsed;
  const json::parser_callback_t limit = [&parsed](int depth, json::parse_event_t, json&) {
    if (depth >= kMaxAnswerDepth) parsed.too_deep = true;
    return !parsed.too_deep;
  };
  parsed.value = json::parse(text, limit, false);
  return parsed;
}

void require_object(const json& value, const char* what) {
  if (!value.is_object()) throw std::invalid_argument(std::string(what) + " must be a JSON object");
}

void require_port(const std::optional<int>& port, const char* what) {
  if (port && (*port < 1 || *port > 65535)) {
    throw std::invalid_argument(std::string(what) + " must be in 1..65535, got " +
                                std::to_string(*port));
  }
}

json tcp_service(int port) {
  return json{
      {"protocol", "tcp"}, {"internal_port", port}, {"ports", json::array({{{"port", port}}})}};
}

}  // namespace

struct API::Impl {
  std::string token;
  std::string authorization;  // the whole header line
  quelmar::util::Redactor redactor;
  ClientOptions options;
  detail::CurlPtr curl;
  std::minstd_rand jitter{std::random_device{}()};

  Impl(std::string api_token, ClientOptions opts)
      : token(std::move(api_token)), options(std::move(opts)) {
    const bool has_control = std::any_of(token.begin(), token.end(),
                                         [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    if (has_control) throw std::invalid_argument("API token contains control characters");
    authorization = "Authorization: " + (token.rfind("FlyV1 ", 0) == 0 ? token : "Bearer " + token);
    redactor.add_token(token);
    while (!options.base_url.empty() && options.base_url.back() == '/') options.base_url.pop_back();
    if (options.base_url.empty()) throw std::invalid_argument("base URL is empty");
    ensure_curl_initialised();
    require_safe_base_url(options.base_url);
    curl.reset(curl_easy_init());
    if (!curl) throw Error("cannot create a libcurl handle");
  }

  // Keeps the token out of anything that may be shown, even if a server echoes it back.
  std::string redacted(const std::string& text) const { return redactor.redact(text); }

  // Redacts every key and string of a decoded answer, so escapes in the raw text cannot hide
  // the token. Iterative: the answer's depth is bounded, but the walk need not rely on it.
  json redacted(json value) const {
    std::vector<json*> pending{&value};
    while (!pending.empty()) {
      json* node = pending.back();
      pending.pop_back();
      if (node->is_string()) {
        *node = redacted(node->get<std::string>());
      } else if (node->is_array()) {
        for (auto& element : *node) pending.push_back(&element);
      } else if (node->is_object()) {
        json renamed = json::object();
        for (auto& [key, element] : node->items()) renamed[redacted(key)] = std::move(element);
        *node = std::move(renamed);
        for (auto& [key, element] : node->items()) pending.push_back(&element);
      }
    }
    return value;
  }

  std::string escape(const std::string& text) {
    detail::CurlStringPtr escaped(
        curl_easy_escape(curl.get(), text.data(), static_cast<int>(text.size())));
    if (!escaped) throw Error("cannot URL-encode a request part");
    return escaped.get();
  }

  std::string machines_path(const std::string& app) {
    require_path_segment(app, "app name");
    return "/v1/apps/" + escape(app) + "/machines";
  }

  std::string machine_path(const std::string& app, const std::string& id) {
    require_path_segment(id, "machine id");
    return machines_path(app) + "/" + escape(id);
  }

  std::string query(const std::vector<std::pair<std::string, std::string>>& params) {
    std::string text;
    for (const auto& [key, value] : params) {
      text += (text.empty() ? "?" : "&") + escape(key) + "=" + escape(value);
    }
    return text;
  }

  // One HTTP exchange. Throws Error when no answer arrived.
  Response send(Method method, const std::string& path, const std::optional<std::string>& body,
                milliseconds timeout, BodyStore store) {
    CURL* handle = curl.get();
    curl_easy_reset(handle);  // keeps the open connection
    Response response;
    response.store = store;
    char error_text[CURL_ERROR_SIZE] = "";
    const std::string url = options.base_url + path;

    detail::CurlSlistPtr headers;
    auto add_header = [&headers](const std::string& line) {
      curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
      if (grown == nullptr) throw Error("out of memory building request headers");
      (void)headers.release();
      headers.reset(grown);
    };
    add_header(authorization);
    add_header("Accept: application/json");
    add_header("Expect:");  // no 100-continue round trip for bodies
    // Without a body curl would still label a POST as a form.
    add_header(body ? "Content-Type: application/json" : "Content-Type:");

    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);  // never merge "." or ".." segments
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (options.ca_file) curl_easy_setopt(handle, CURLOPT_CAINFO, options.ca_file->c_str());
    curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options.connect_timeout.count()));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
    switch (method) {
      case Method::kGet:
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
        break;
      case Method::kPost:
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body ? body->size() : 0));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body ? body->c_str() : "");
        break;
      case Method::kDelete:
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "DELETE");
        break;
    }

    const CURLcode result = curl_easy_perform(handle);
    // The error buffer and header list die with this frame.
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
    if (result != CURLE_OK) {
      std::string reason = error_text[0] != '\0' ? error_text : curl_easy_strerror(result);
      if (result == CURLE_WRITE_ERROR) reason = "response larger than the client accepts";
      throw Error(redacted(std::string(method_name(method)) + " " + path + " failed: " + reason));
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    curl_off_t retry_after = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK &&
        retry_after > 0) {
      response.retry_after = std::chrono::seconds(retry_after);
    }
    return response;
  }

  milliseconds backoff(int retry, const std::optional<std::chrono::seconds>& retry_after) {
    const milliseconds cap = std::max(options.max_backoff, milliseconds(0));
    if (retry_after) return std::min<milliseconds>(*retry_after, cap);
    milliseconds base = std::max(options.initial_backoff, milliseconds(1));
    for (int i = 0; i < retry && base < cap; ++i) base *= 2;
    base = std::min(base, cap);
    // Half fixed, half random: spreads clients out while still growing with each retry.
    std::uniform_int_distribution<milliseconds::rep> spread(0, base.count() / 2);
    return base - milliseconds(spread(jitter));
  }

  void sleep(milliseconds delay) {
    if (options.sleep) {
      options.sleep(delay);
    } else {
      std::this_thread::sleep_for(delay);
    }
  }

  Response send_with_retries(Method method, const std::string& path,
                             const std::optional<std::string>& body, RetryOn retry_on,
                             milliseconds timeout, BodyStore store = BodyStore::kWhole) {
    for (int retry = 0;; ++retry) {
      Response response = send(method, path, body, timeout, store);
      const bool throttled = response.status == 429;
      const bool server_error = response.status >= 500 && response.status <= 599;
      const bool retryable =
          throttled || (server_error && retry_on == RetryOn::kThrottlingAndServerErrors);
      if (!retryable || retry >= options.max_retries) return response;
      sleep(backoff(retry, response.retry_after));
    }
  }

  // The single place where HTTP answers become results.
  json result_of(const Response& response) const {
    const long status = response.status;
    const bool success = status >= 200 && status <= 299;
    if (success && is_blank(response.body)) return json::object();
    ParsedAnswer answer = parse_answer(response.body);
    if (answer.too_deep) return json{{"error", "answer nested too deeply"}};
    // Redacted only once decoded: escapes in the raw text could spell the token.
    if (!answer.value.is_discarded()) answer.value = redacted(std::move(answer.value));
    if (success) {
      if (answer.value.is_discarded()) {
        return failure(status, "malformed JSON in response: " + truncated(redacted(response.body)));
      }
      return answer.value;
    }
    const json& parsed = answer.value;
    if (!parsed.is_discarded() && parsed.is_object()) {
      if (parsed.contains("error")) return parsed;
      if (parsed.contains("message") && parsed["message"].is_string()) {
        return failure(status, truncated(parsed["message"].get<std::string>()));
      }
    }
    const std::string body = redacted(response.body);
    if (!is_blank(body)) return failure(status, truncated(body));
    return failure(status, reason_phrase(status));
  }

  // The brief listing, kept whole, or handed over element by element to `take`.
  json list_brief(const std::string& app, const std::string& region,
                  const std::function<void(json&&)>* take);

  json call(Method method, const std::string& path, const std::optional<std::string>& body,
            RetryOn retry_on) {
    return result_of(send_with_retries(method, path, body, retry_on, options.request_timeout));
  }
};

API::API(std::string api_token, ClientOptions options)
    : impl_(std::make_unique<Impl>(std::move(api_token), std::move(options))) {}

API::~API() = default;

API::Impl& API::impl() {
  if (!impl_) throw std::logic_error("use of a moved-from Machines API client");
  return *impl_;
}
API::API(API&&) noexcept = default;
API& API::operator=(API&&) noexcept = default;

nlohmann::json API::list(const std::string& app, const std::string& region) {
  std::vector<std::pair<std::string, std::string>> params;
  if (!region.empty()) params.emplace_back("region", region);
  const std::string path = impl().machines_path(app) + impl().query(params);
  json result = impl().call(Method::kGet, path, std::nullopt, RetryOn::kThrottlingAndServerErrors);
  if (!result.is_array() && !(result.is_object() && result.contains("error"))) {
    return failure(200, "expected a list of machines, got: " + truncated(result.dump()));
  }
  return result;
}

nlohmann::json API::create(const std::string& app, const std::string& image,
                           const std::vector<std::string>& cmd, const CreateOptions& options) {
  require_object(options.env_vars, "env_vars");
  require_object(options.metadata, "metadata");
  require_object(options.extra_config, "extra_config");
  require_port(options.port, "port");
  require_port(options.additional_internal_port, "additional_internal_port");
  const std::string path = impl().machines_path(app);

  json services = json::array();
  if (options.port) services.push_back(tcp_service(*options.port));
  if (options.additional_internal_port) {
    services.push_back(tcp_service(*options.additional_internal_port));
  }
  json config{{"image", image},
              {"init", {{"cmd", cmd}}},
              {"env", options.env_vars},
              {"metadata", options.metadata},
              {"services", services}};
  json body{{"name", options.name}};
  for (const auto& [key, value] : options.extra_config.items()) {
    if (key == "config" && value.is_object()) {
      config.update(value);
    } else {
      body[key] = value;
    }
  }
  body["config"] = std::move(config);
  // Only throttling is safe to retry: a create that failed on the server may still have run.
  return impl().call(Method::kPost, path, body.dump(), RetryOn::kThrottling);
}

nlohmann::json API::start(const std::string& app, const std::string& id) {
  return impl().call(Method::kPost, impl().machine_path(app, id) + "/start", std::nullopt,
                     RetryOn::kThrottlingAndServerErrors);
}

nlohmann::json API::stop(const std::string& app, const std::string& id) {
  return impl().call(Method::kPost, impl().machine_path(app, id) + "/stop", std::nullopt,
                     RetryOn::kThrottlingAndServerErrors);
}

nlohmann::json API::get(const std::string& app, const std::string& id) {
  return impl().call(Method::kGet, impl().machine_path(app, id), std::nullopt,
                     RetryOn::kThrottlingAndServerErrors);
}

nlohmann::json API::wait(const std::string& app, const std::string& id,
                         const std::string& instance_id, const std::string& state) {
  const int hold = std::clamp(impl().options.wait_timeout_seconds, 1, kWaitTimeoutMax);
  std::vector<std::pair<std::string, std::string>> params;
  if (!instance_id.empty()) params.emplace_back("instance_id", instance_id);
  params.emplace_back("state", state);
  params.emplace_back("timeout", std::to_string(hold));
  const std::string path = impl().machine_path(app, id) + "/wait" + impl().query(params);
  const milliseconds transfer_timeout =
      std::chrono::seconds(hold) + std::max(impl().options.wait_grace, std::chrono::seconds(0));
  const auto total = std::max<long long>(impl().options.wait_total.count(), 0);
  const long long attempts = std::max<long long>(1, (total + hold - 1) / hold);

  Response response;
  for (long long attempt = 0; attempt < attempts; ++attempt) {
    response = impl().send_with_retries(Method::kGet, path, std::nullopt,
                                        RetryOn::kThrottlingAndServerErrors, transfer_timeout);
    if (response.status != 408) break;
  }
  return impl().result_of(response);
}

nlohmann::json API::destroy(const std::string& app, const std::string& id, bool force,
                            [[maybe_unused]] const std::string& region) {
  const std::string path =
      impl().machine_path(app, id) + impl().query({{"force", force ? "true" : "false"}});
  return impl().call(Method::kDelete, path, std::nullopt, RetryOn::kThrottlingAndServerErrors);
}

namespace {

// Builds the listing while it is parsed, dropping every field of a machine record that callers
// of list_brief do not read, so a large fleet never exists as a whole tree of full records.
// Every kept key and text is redacted as it is read, like any other answer.
class BriefListing final : public nlohmann::json_sax<json> {
 public:
  // With `take`, each element of a top-level array is handed over once complete instead of
  // being kept in `result`.
  BriefListing(const quelmar::util::Redactor& redactor, const std::function<void(json&&)>* take)
      : redactor_(redactor), take_(take) {}

  json result;
  bool too_deep = false;

  bool null() override { return value(nullptr); }
  bool boolean(bool v) override { return value(v); }
  bool number_integer(number_integer_t v) override { return value(v); }
  bool number_unsigned(number_unsigned_t v) override { return value(v); }
  bool number_float(number_float_t v, const string_t& /*text*/) override { return value(v); }
  bool string(string_t& v) override { return skipped_ > 0 || value(redactor_.redact(v)); }
  bool binary(binary_t& v) override { return value(json::binary(std::move(v))); }
  bool start_object(std::size_t /*size*/) override { return open(json::object()); }
  bool start_array(std::size_t /*size*/) override { return open(json::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& k) override {
    if (skipped_ == 0) {
      keep_next_ = wanted(k);
      key_ = redactor_.redact(k);
    }
    return true;
  }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    return false;
  }

 private:
  struct Frame {
    json* value;
    bool is_config;
  };

  // Levels: the list, a machine record, its config, then inside "services" only the ports.
  bool wanted(const std::string& key) const {
    if (stack_.size() == 2) {
      return key == "id" || key == "name" || key == "state" || key == "instance_id" ||
             key == "config";
    }
    if (stack_.size() == 3 && stack_.back().is_config) {
      return key == "image" || key == "metadata" || key == "env" || key == "services";
    }
    if (stack_.size() == 5 && in_services_) return key == "ports";
    if (stack_.size() == 7 && in_services_) return key == "port";
    return true;
  }

  // Where a new value goes; null when it is dropped.
  json* place(json&& v) {
    if (stack_.empty()) {
      result = std::move(v);
      return &result;
    }
    json& parent = *stack_.back().value;
    if (parent.is_array()) {
      parent.push_back(std::move(v));
      return &parent.back();
    }
    if (!keep_next_) return nullptr;
    json& slot = parent[key_];
    slot = std::move(v);
    return &slot;
  }

  bool value(json&& v) {
    if (skipped_ > 0) return true;
    if (hands_over()) {
      (*take_)(std::move(v));
    } else {
      place(std::move(v));
    }
    return true;
  }

  // Whether the value now completed is an element of the top-level array, to be handed over.
  bool hands_over() const {
    return take_ != nullptr && stack_.size() == 1 && stack_.front().value->is_array();
  }

  bool open(json&& container) {
    if (++depth_ > static_cast<std::size_t>(kMaxAnswerDepth)) {
      too_deep = true;
      return false;
    }
    if (skipped_ > 0) {
      ++skipped_;
      return true;
    }
    const bool is_config = stack_.size() == 2 && key_ == "config" && container.is_object() &&
                           stack_.back().value->is_object();
    if (stack_.size() == 3 && stack_.back().is_config && key_ == "services") in_services_ = true;
    json* placed = place(std::move(container));
    if (placed == nullptr) {
      skipped_ = 1;
    } else {
      stack_.push_back({placed, is_config});
    }
    return true;
  }

  bool close() {
    --depth_;
    if (skipped_ > 0) {
      --skipped_;
    } else {
      stack_.pop_back();
      if (stack_.size() == 3) in_services_ = false;
      if (hands_over()) {
        (*take_)(std::move(result.back()));
        result.erase(result.size() - 1);
      }
    }
    return true;
  }

  const quelmar::util::Redactor& redactor_;
  const std::function<void(json&&)>* take_;
  std::vector<Frame> stack_;
  std::size_t depth_ = 0;    // every open container, kept or dropped
  std::size_t skipped_ = 0;  // open containers inside a dropped value
  std::string key_;
  bool keep_next_ = true;
  bool in_services_ = false;  // inside config's "services" array
};

}  // namespace

json API::Impl::list_brief(const std::string& app, const std::string& region,
                           const std::function<void(json&&)>* take) {
  std::vector<std::pair<std::string, std::string>> params;
  if (!region.empty()) params.emplace_back("region", region);
  const std::string path = machines_path(app) + query(params);
  Response response =
      send_with_retries(Method::kGet, path, std::nullopt, RetryOn::kThrottlingAndServerErrors,
                        options.request_timeout, BodyStore::kPieces);
  if (response.status < 200 || response.status > 299) {
    for (const std::string& piece : response.pieces) response.body += piece;
    return result_of(response);
  }
  BriefListing listing(redactor, take);
  PieceReader reader(response.pieces);
  std::istream stream(&reader);
  const bool parsed = json::sax_parse(stream, &listing);
  if (listing.too_deep) return failure(response.status, "answer nested too deeply");
  if (!parsed) {
    const std::string quoted = response.pieces.empty() ? "" : response.pieces.front();
    return failure(response.status, "malformed JSON in response: " + truncated(redacted(quoted)));
  }
  if (!listing.result.is_array()) {
    return failure(response.status, "expected a list of machines, got: " +
                                        truncated(listing.result.dump(
                                            -1, ' ', false, json::error_handler_t::replace)));
  }
  return std::move(listing.result);
}

nlohmann::json API::list_brief(const std::string& app, const std::string& region) {
  return impl().list_brief(app, region, nullptr);
}

nlohmann::json API::list_brief_each(const std::string& app, const std::string& region,
                                    const std::function<void(nlohmann::json&&)>& take) {
  return impl().list_brief(app, region, &take);
}

nlohmann::json API::update(const std::string& app, const std::string& id,
                           const nlohmann::json& config, const std::string& current_version) {
  require_object(config, "config");
  const std::string path = impl().machine_path(app, id);
  json body{{"config", config}};
  if (!current_version.empty()) body["current_version"] = current_version;
  // Like create, an update that failed on the server may still have run.
  return impl().call(Method::kPost, path, body.dump(), RetryOn::kThrottling);
}

}  // namespace corvane::api
