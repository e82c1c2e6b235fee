// Bounds of a look-up measured on the real clock, some of them seconds long: labelled slow.
#include <gtest/gtest.h>

#include <chrono>

#include "fake_dns.hpp"
#include "orchestrate/adapter/dns_resolver.hpp"
#include "vostrel_fixture.hpp"

namespace dns = quelmar::orchestrate::adapter::dns;
using quelmar::fake_fly::DnsFault;
using quelmar::fake_fly::DnsTransport;
using quelmar::fake_fly::FakeDns;
using quelmar::fake_fly::FakeDnsOptions;

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

TEST(ResolverTries, SilentServerIsGivenUpOnAfterTheGivenTries) {
  using std::chrono::milliseconds;
  FakeDns server;
  server.set_fault(DnsFault::kDrop);
  dns::Resolver resolver(dns::parse_name_server(server.name_server()),
                         {.tries = 3, .try_timeout = milliseconds(100), .pause = {}});
  const auto start = std::chrono::steady_clock::now();
  try {
    resolver.first_address("myapp.fly.dev", dns::RecordType::kA);
    ADD_FAILURE() << "resolved";
  } catch (const dns::LookupTimeout& e) {
    EXPECT_EQ(std::string(e.what()), "no answer from " + server.name_server());
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(300));  // each try waited
  EXPECT_EQ(server.query_count(DnsTransport::kUdp), 3u);
}

// The look-up's text when it ended with a time-out, or a failure.
std::string timeout_error(const FakeDns& server, const std::string& name, dns::RecordType type,
                          dns::ResolverOptions options) {
  dns::Resolver resolver(dns::parse_name_server(server.name_server()), options);
  try {
    ADD_FAILURE() << "resolved " << name << " to " << resolver.first_address(name, type);
  } catch (const dns::LookupTimeout& e) {
    return e.what();
  } catch (const dns::LookupError& e) {
    ADD_FAILURE() << "not a time-out: " << e.what();
  }
  return {};
}

TEST(ResolverDeadline, BoundsATcpAnswerThatArrivesOneByteAtATime) {
  using std::chrono::milliseconds;
  // A whole answer takes about 60 intervals; each byte alone comes well within any time-out.
  FakeDns server(FakeDnsOptions{.dribble_interval = milliseconds(50)});
  server.add_record({"myapp.flycast", "AAAA", "fdaa::7"});
  server.set_fault(DnsFault::kTruncateThenDribble);
  EXPECT_EQ(timeout_error(server, "myapp.flycast", dns::RecordType::kAaaa,
                          {.deadline = milliseconds(300)}),
            "no answer from " + server.name_server() + " within 300 ms");
}

TEST(ResolverDeadline, ADribbledAnswerWithinTheDeadlineIsTaken) {
  FakeDns server(FakeDnsOptions{.dribble_interval = std::chrono::milliseconds(1)});
  server.add_record({"myapp.flycast", "AAAA", "fdaa::7"});
  server.set_fault(DnsFault::kTruncateThenDribble);
  // No deadline that a loaded machine could miss.
  dns::Resolver resolver(dns::parse_name_server(server.name_server()),
                         {.deadline = std::chrono::hours(1)});
  EXPECT_EQ(resolver.first_address("myapp.flycast", dns::RecordType::kAaaa), "fdaa::7");
}

TEST(ResolverDeadline, CutsShortTheTriesAndThePausesOfASilentServer) {
  using std::chrono::hours;
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  FakeDns server;
  server.set_fault(DnsFault::kDrop);
  const std::string expected = "no answer from " + server.name_server() + " within 200 ms";
  // A try far longer than the deadline.
  EXPECT_EQ(timeout_error(server, "myapp.fly.dev", dns::RecordType::kA,
                          {.tries = 3, .try_timeout = hours(1), .deadline = milliseconds(200)}),
            expected);
  EXPECT_EQ(server.query_count(DnsTransport::kUdp), 1u);
  // A pause far longer than the deadline: no second try.
  EXPECT_EQ(timeout_error(server, "myapp.fly.dev", dns::RecordType::kA,
                          {.tries = 2,
                           .try_timeout = milliseconds(50),
                           .pause = seconds(255),
                           .deadline = milliseconds(200)}),
            expected);
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
