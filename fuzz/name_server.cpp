// Name-server text from the command line (ADDR, ADDR:PORT, [V6]:PORT): parsing never crashes,
// and what it accepts is an IP address and a port 1..65535 that read back the same once
// written out again.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "check.hpp"
#include "orchestrate/adapter/dns_resolver.hpp"
#include "quelmar/util/host_port.hpp"

namespace dns = quelmar::orchestrate::adapter::dns;
using quelmar::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  dns::NameServer parsed;
  try {
    parsed = dns::parse_name_server(text);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  in6_addr binary{};
  require(inet_pton(AF_INET, parsed.address.c_str(), &binary) == 1 ||
              inet_pton(AF_INET6, parsed.address.c_str(), &binary) == 1,
          "the address is an IP address");
  require(!parsed.port || *parsed.port != 0, "a port is 1..65535");
  require(parsed.port || parsed.address == text, "without a port the text is the address");

  const std::string written =
      parsed.port ? quelmar::util::host_port(parsed.address, *parsed.port) : parsed.address;
  const dns::NameServer again = dns::parse_name_server(written);
  require(again.address == parsed.address && again.port == parsed.port,
          "a name server written out reads back the same");
  return 0;
}
