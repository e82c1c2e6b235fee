// A reply from a name server, read as the answer to a fixed question of each type: any bytes
// give an outcome or a LookupError, and an address found is a well-formed one of the asked type.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "check.hpp"
#include "orchestrate/adapter/dns_resolver.hpp"

namespace dns = quelmar::orchestrate::adapter::dns;
using quelmar::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> reply(data, size);
  for (const dns::RecordType type : {dns::RecordType::kA, dns::RecordType::kAaaa}) {
    // The seed corpus answers this question.
    const dns::Question question{.id = 0x1234, .name = "myapp.flycast.", .type = type};
    try {
      const dns::ReplyOutcome outcome = dns::read_reply(reply, question, "127.0.0.1:53");
      if (outcome.kind != dns::ReplyOutcome::Kind::kAddress) {
        require(outcome.address.empty(), "only an address outcome carries an address");
        continue;
      }
      in6_addr binary{};
      const int family = type == dns::RecordType::kA ? AF_INET : AF_INET6;
      require(inet_pton(family, outcome.address.c_str(), &binary) == 1,
              "the address is one of the asked type");
    } catch (const dns::LookupError&) {
    }
  }
  return 0;
}
