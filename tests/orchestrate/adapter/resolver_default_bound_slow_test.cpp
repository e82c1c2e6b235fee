// The real default bound on a silent server, which takes seconds: labelled slow.
#include <gtest/gtest.h>

#include <chrono>

#include "fake_dns.hpp"
#include "orchestrate/adapter/dns_resolver.hpp"

namespace dns = quelmar::orchestrate::adapter::dns;
using quelmar::fake_fly::DnsFault;
using quelmar::fake_fly::DnsTransport;
using quelmar::fake_fly::FakeDns;

namespace {

TEST(ResolverDefaults, SilentServerIsGivenUpOnAfterTwoTriesOfThreeSeconds) {
  FakeDns server;
  server.set_fault(DnsFault::kDrop);
  dns::Resolver resolver(dns::parse_name_server(server.name_server()));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(resolver.first_address("myapp.fly.dev", dns::RecordType::kA), dns::LookupError);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // Two tries of 3 s and a pause of 1 s between them.
  EXPECT_GE(elapsed, std::chrono::seconds(7));
  EXPECT_LT(elapsed, std::chrono::seconds(9));
  EXPECT_EQ(server.query_count(DnsTransport::kUdp), 2u);
}

}  // namespace
