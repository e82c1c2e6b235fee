// IP addresses written as text.
#pragma once

#include <string_view>

namespace quelmar::util {

// An IPv4 address in dotted decimal or an IPv6 address, as inet_pton reads them: no brackets,
// no zone ("%eth0"), no embedded NUL, no surrounding space.
bool is_ip_address(std::string_view text);

}  // namespace quelmar::util
