#include "transport.hpp"

#include <algorithm>
#include <mutex>

namespace corvane::api::transport {

namespace {

constexpr const char* kUserAgent = "quelmar-corvane/0.1";

void ensure_curl_initialised() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) {
    throw std::runtime_error(std::string("cannot initialise libcurl: ") +
                             curl_easy_strerror(result));
  }
}

struct Collector {
  Response& response;
  CURL* handle;
  const std::function<bool(long, std::string_view)>& consume;
  std::size_t received = 0;
  long status = -1;  // read once the first bytes of the body arrive
};

std::size_t collect_body(char* data, std::size_t size, std::size_t count, void* target) {
  auto* collector = static_cast<Collector*>(target);
  const std::size_t bytes = size * count;
  if (collector->consume) {
    if (collector->status < 0) {
      collector->status = 0;
      curl_easy_getinfo(collector->handle, CURLINFO_RESPONSE_CODE, &collector->status);
    }
    if (collector->status >= 200 && collector->status <= 299) {
      return collector->consume(collector->status, std::string_view(data, bytes)) ? bytes : 0;
    }
  }
  if (collector->received + bytes > kMaxResponseBytes) return 0;  // makes curl fail the transfer
  collector->received += bytes;
  collector->response.body.append(data, bytes);
  return bytes;
}

// Called by libcurl during a transfer, at least about once a second; non-zero aborts it.
int check_cancelled(void* settings, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* s = static_cast<const Settings*>(settings);
  return s->cancelled && s->cancelled() ? 1 : 0;
}

}  // namespace

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

Transport::Transport(Settings settings) : settings_(std::move(settings)) {
  ensure_curl_initialised();
  curl_.reset(curl_easy_init());
  if (!curl_) throw std::runtime_error("cannot create a libcurl handle");
}

Response Transport::exchange(const Request& request) {
  Response response;
  if (request.cancellable && settings_.cancelled && settings_.cancelled()) {
    response.failure = "interrupted";
    return response;
  }
  CURL* handle = curl_.get();
  curl_easy_reset(handle);  // keeps the open connection
  Collector collector{response, handle, request.consume};
  char error_text[CURL_ERROR_SIZE] = "";
  const std::string url = settings_.base_url + request.path;

  detail::CurlSlistPtr headers;
  auto add_header = [&headers](const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown == nullptr) throw std::runtime_error("out of memory building request headers");
    (void)headers.release();
    headers.reset(grown);
  };
  add_header(settings_.authorization);
  add_header("Accept: application/json");
  add_header("Expect:");  // no 100-continue round trip for bodies
  // Without a body curl would still label a POST as a form.
  add_header(request.body ? "Content-Type: application/json" : "Content-Type:");

  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);  // never merge "." or ".." segments
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  // A proxy would see the token of a plain-HTTP request; the empty name turns off the proxy
  // variables of the environment too.
  if (settings_.plain_http) curl_easy_setopt(handle, CURLOPT_PROXY, "");
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (settings_.ca_file) curl_easy_setopt(handle, CURLOPT_CAINFO, settings_.ca_file->c_str());
  curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(settings_.connect_timeout.count()));
  if (request.consume) {
    // At least a byte a second, or the stall ends the transfer once it lasts `timeout`.
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(request.timeout).count();
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(std::max<long long>(seconds, 1)));
  } else {
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  }
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect_body);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &collector);
  if (request.cancellable && settings_.cancelled) {
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, check_cancelled);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &settings_);
  }
  switch (request.method) {
    case Method::kGet:
      curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
      break;
    case Method::kPost:
      curl_easy_setopt(handle, CURLOPT_POST, 1L);
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE,
                       static_cast<long>(request.body ? request.body->size() : 0));
      curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body ? request.body->c_str() : "");
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
    if (result == CURLE_ABORTED_BY_CALLBACK) reason = "interrupted";
    response = Response{};
    response.failure =
        std::string(method_name(request.method)) + " " + request.path + " failed: " + reason;
    return response;
  }
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
  curl_off_t retry_after = 0;
  if (curl_easy_getinfo(handle, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK &&
      retry_after > 0) {
    response.retry_after_seconds = static_cast<long long>(retry_after);
  }
  return response;
}

}  // namespace corvane::api::transport
