// One HTTP exchange with the API server over libcurl, on one kept-alive connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "curl_handle.hpp"

namespace corvane::api::transport {

enum class Method { kGet, kPost, kDelete };
const char* method_name(Method method);

// A whole body beyond this is not read: the exchange fails. A streamed body has no such limit;
// its consumer bounds what it keeps.
inline constexpr std::size_t kMaxResponseBytes = 64u << 20;

struct Request {
  Method method = Method::kGet;
  std::string path{};  // with the query string
  std::optional<std::string> body{};
  std::chrono::milliseconds timeout{30'000};
  // When set, a 2xx body goes here as it arrives, never kept; returning false ends the transfer
  // (the exchange then fails). `timeout` is then a bound on a stall (no byte for that long),
  // not on the whole transfer, which may take as long as a large body needs. Other answers are
  // kept whole in `body`, as without it.
  std::function<bool(long status, std::string_view bytes)> consume{};
  // Abandoned at once when the transport's `cancelled` says so (long polls only).
  bool cancellable = false;
};

struct Response {
  // 0 when no answer arrived; `failure` then says why.
  long status = 0;
  std::string failure{};
  std::string body{};
  // Retry-After as libcurl read it (seconds, also from an HTTP date); absent when not sent or
  // not usable.
  std::optional<long long> retry_after_seconds{};
};

struct Settings {
  std::string base_url{};
  bool plain_http = false;  // never through a proxy
  std::optional<std::string> ca_file{};
  std::chrono::milliseconds connect_timeout{10'000};
  std::string authorization{};  // the whole header line
  std::function<bool()> cancelled{};
};

class Transport {
 public:
  explicit Transport(Settings settings);
  Response exchange(const Request& request);
  const Settings& settings() const { return settings_; }

 private:
  Settings settings_;
  detail::CurlPtr curl_;
};

}  // namespace corvane::api::transport
