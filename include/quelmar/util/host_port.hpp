// Host and port as one text, the way URLs and socket addresses write them.
#pragma once

#include <string>
#include <string_view>

namespace quelmar::util {

// An IPv6 address in brackets ("[::1]"); any other host as it is.
std::string bracket_ipv6(std::string_view host);

// "HOST:PORT", an IPv6 host in brackets.
std::string host_port(std::string_view host, unsigned port);

}  // namespace quelmar::util
