#include "request_guards.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "curl_handle.hpp"
#include "quelmar/util/control_characters.hpp"
#include "quelmar/util/lower.hpp"

namespace corvane::api::guards {

namespace {

// True when `text` is "." or "..", or would hold such a segment should a server decode an
// escaped '/' (or treat '\\' as one) before routing.
bool has_dot_segment(std::string_view text) {
  std::size_t begin = 0;
  while (true) {
    const std::size_t end = text.find_first_of("/\\", begin);
    const std::string_view part =
        text.substr(begin, end == std::string_view::npos ? end : end - begin);
    if (part == "." || part == "..") return true;
    if (end == std::string_view::npos) return false;
    begin = end + 1;
  }
}

}  // namespace

void require_path_segment(const std::string& text, const char* what) {
  if (text.empty()) throw std::invalid_argument(std::string(what) + " is empty");
  if (has_dot_segment(text)) {
    throw std::invalid_argument(std::string(what) +
                                " must not be or contain \".\" or \"..\" path segments");
  }
  if (quelmar::util::has_control_character(text)) {
    throw std::invalid_argument(std::string(what) + " contains a control character");
  }
}

void require_token(const std::string& token) {
  if (quelmar::util::has_control_character(token))
    throw std::invalid_argument("API token contains control characters");
}

bool is_loopback_host(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string name = quelmar::util::lower(host);
  if (name == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, name.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool require_safe_base_url(const std::string& base_url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
  if (!url) throw std::runtime_error("cannot parse the base URL: out of memory");
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
  if (std::string(scheme.get()) == "https") return false;
  if (std::string(scheme.get()) != "http") {
    throw std::invalid_argument("base URL is not an http:// or https:// URL");
  }
  if (!is_loopback_host(host.get())) {
    throw std::invalid_argument(
        "base URL uses http:// for a host other than this machine; the API token would travel "
        "in clear text (use https://)");
  }
  return true;
}

void require_object(const nlohmann::json& value, const char* what) {
  if (!value.is_object()) throw std::invalid_argument(std::string(what) + " must be a JSON object");
}

void require_port(const std::optional<int>& port, const char* what) {
  if (port && (*port < 1 || *port > 65535)) {
    throw std::invalid_argument(std::string(what) + " must be in 1..65535, got " +
                                std::to_string(*port));
  }
}

}  // namespace corvane::api::guards
