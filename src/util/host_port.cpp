#include "quelmar/util/host_port.hpp"

namespace quelmar::util {

std::string bracket_ipv6(std::string_view host) {
  // Only an IPv6 address holds a colon; one already bracketed stays as it is.
  const bool bare_ipv6 = host.find(':') != std::string_view::npos && !host.starts_with('[');
  return bare_ipv6 ? "[" + std::string(host) + "]" : std::string(host);
}

std::string host_port(std::string_view host, unsigned port) {
  return bracket_ipv6(host) + ":" + std::to_string(port);
}

}  // namespace quelmar::util
