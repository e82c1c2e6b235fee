// The real default bound of a look-up, which takes seconds: labelled slow.
#include <gtest/gtest.h>

#include <chrono>

#include "fake_dns.hpp"
#include "orchestrate/adapter/dns_resolver.hpp"
#include "vostrel_fixture.hpp"

namespace dns = quelmar::orchestrate::adapter::dns;
using quelmar::fake_fly::DnsFault;
using quelmar::fake_fly::DnsTransport;
using quelmar::fake_fly::FakeDns;

namespace {

// The documented ceiling of every look-up with the defaults.
constexpr auto kDocumentedBound = std::chrono::seconds(10);

TEST(ResolverDefaults, SilentServerIsGivenUpOnAfterTwoTriesOfThreeSeconds) {
  FakeDns server;
  server.set_fault(DnsFault::kDrop);
  dns::Resolver resolver(dns::parse_name_server(server.name_server()));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(resolver.first_address("myapp.fly.dev", dns::RecordType::kA), dns::LookupTimeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // Two tries of 3 s and a pause of 1 s between them.
  EXPECT_GE(elapsed, std::chrono::seconds(7));
  EXPECT_LT(elapsed, kDocumentedBound);
  EXPECT_EQ(server.query_count(DnsTransport::kUdp), 2u);
}

using quelmar::orchestrate::adapter::vostrel::FlyAdapter;
using quelmar::orchestrate::adapter::vostrel::ProcessExit;
using quelmar::orchestrate::adapter::vostrel::testing::VostrelTest;

// Truncated over UDP, then a TCP answer at one byte a second: the address look-up still ends
// within the bound, with the private look-up's status.
TEST_F(VostrelTest, AnAnswerDribbledOverTcpEndsTheAddressLookUpWithinTheBound) {
  dns.add_record({"meters.flycast", "AAAA", "fdaa::7"});
  dns.set_fault(DnsFault::kTruncateThenDribble);
  FlyAdapter adapter(options());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(adapter.get_private_flycast_ip(), ProcessExit);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kDocumentedBound);
  EXPECT_EQ(exits, std::vector<int>{10});
  EXPECT_EQ(dns.query_count(DnsTransport::kTcp), 1u);
}

}  // namespace
