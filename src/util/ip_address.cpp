#include "quelmar/util/ip_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

namespace quelmar::util {

bool is_ip_address(std::string_view text) {
  // inet_pton reads up to a NUL, so one inside would hide what follows it. No address is
  // longer than INET6_ADDRSTRLEN - 1 characters.
  if (text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos) return false;
  const std::string terminated(text);
  in6_addr buffer{};
  return inet_pton(AF_INET, terminated.c_str(), &buffer) == 1 ||
         inet_pton(AF_INET6, terminated.c_str(), &buffer) == 1;
}

}  // namespace quelmar::util
