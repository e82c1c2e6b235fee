// One HTTP exchange with the API server over libcurl, on one kept-alive connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "curl_handle.hpp"

namespace corvane::api::transport {

enum class Method { kGet, kPost, kDelete };
const char* method_name(Method method);

// How a response body is kept while it arrives.
enum class BodyStore {
  kWhole,   // one string, for answers that are read as a whole
  kPieces,  // pieces of up to kBodyPieceBytes, so that a large answer never needs one growing
            // buffer and each piece can be freed as soon as it has been parsed
};

// Large enough that the allocator usually maps each piece on its own, so that a freed piece goes
// back to the system at once instead of leaving a hole in the heap.
inline constexpr std::size_t kBodyPieceBytes = 256u << 10;
// Bodies beyond this are not read: the exchange fails.
inline constexpr std::size_t kMaxResponseBytes = 64u << 20;

struct Request {
  Method method = Method::kGet;
  std::string path{};  // with the query string
  std::optional<std::string> body{};
  std::chrono::milliseconds timeout{30'000};
  BodyStore store = BodyStore::kWhole;
  // Abandoned at once when the transport's `cancelled` says so (long polls only).
  bool cancellable = false;
};

struct Response {
  // 0 when no answer arrived; `failure` then says why.
  long status = 0;
  std::string failure{};
  std::string body{};
  std::vector<std::string> pieces{};
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
