// The fake responder's own behaviour that other tests and the fake platform rely on.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "fake_dns.hpp"
#include "orchestrate/adapter/dns_resolver.hpp"

namespace dns = quelmar::orchestrate::adapter::dns;
namespace fake = quelmar::fake_fly;

namespace {

std::string lookup(const fake::FakeDns& server, const std::string& name, dns::RecordType type) {
  dns::Resolver resolver(dns::parse_name_server(server.name_server()));
  return resolver.first_address(name, type);
}

std::string lookup_error(const fake::FakeDns& server, const std::string& name,
                         dns::RecordType type) {
  try {
    ADD_FAILURE() << name << " resolved to " << lookup(server, name, type);
  } catch (const dns::LookupError& e) {
    return e.what();
  }
  return {};
}

class FlyAppRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    server.set_record_source(fake::fly_app_records([this] {
      std::lock_guard lock(mutex);
      return apps;
    }));
  }

  void set_apps(std::vector<std::string> names) {
    std::lock_guard lock(mutex);
    apps = std::move(names);
  }

  std::mutex mutex;
  std::vector<std::string> apps = {"alpha", "beta"};
  fake::FakeDns server;
};

TEST_F(FlyAppRecords, KnownAppsGetDeterministicAddresses) {
  EXPECT_EQ(lookup(server, "alpha.flycast", dns::RecordType::kAaaa), "fdaa:0:1::1");
  EXPECT_EQ(lookup(server, "beta.flycast", dns::RecordType::kAaaa), "fdaa:0:1::2");
  EXPECT_EQ(lookup(server, "beta.fly.dev", dns::RecordType::kA), "203.0.113.2");
  EXPECT_EQ(lookup(server, "BETA.Fly.Dev", dns::RecordType::kA), "203.0.113.2");
  EXPECT_EQ(fake::fly_app_flycast_address(1), "fdaa:0:1::2");
  EXPECT_EQ(fake::fly_app_public_address(1), "203.0.113.2");
  EXPECT_EQ(fake::fly_app_public_address(254), "203.0.113.1");
}

TEST_F(FlyAppRecords, OtherNamesAndTypesFail) {
  EXPECT_EQ(lookup_error(server, "gamma.flycast", dns::RecordType::kAaaa),
            "name does not exist: gamma.flycast.");
  EXPECT_EQ(lookup_error(server, "flycast", dns::RecordType::kAaaa),
            "name does not exist: flycast.");
  EXPECT_EQ(lookup_error(server, "alpha.example", dns::RecordType::kA),
            "name does not exist: alpha.example.");
  EXPECT_EQ(lookup_error(server, "alpha.flycast", dns::RecordType::kA),
            "no A record for alpha.flycast.");
  EXPECT_EQ(lookup_error(server, "alpha.fly.dev", dns::RecordType::kAaaa),
            "no AAAA record for alpha.fly.dev.");
}

TEST_F(FlyAppRecords, FollowsTheAppListOnEveryQuery) {
  set_apps({"gamma"});
  EXPECT_EQ(lookup(server, "gamma.flycast", dns::RecordType::kAaaa), "fdaa:0:1::1");
  EXPECT_THROW(lookup(server, "alpha.flycast", dns::RecordType::kAaaa), dns::LookupError);
}

TEST_F(FlyAppRecords, StaticRecordsComeBeforeTheSource) {
  server.add_record({"alpha.flycast", "AAAA", "fdaa::99"});
  EXPECT_EQ(lookup(server, "alpha.flycast", dns::RecordType::kAaaa), "fdaa::99");
  EXPECT_EQ(lookup(server, "beta.flycast", dns::RecordType::kAaaa), "fdaa:0:1::2");
}

TEST(FakeDnsRobustness, ABadRecordIsServedAsServfail) {
  fake::FakeDns server;
  server.add_record({"myapp.fly.dev", "A", "not-an-address"});
  EXPECT_EQ(lookup_error(server, "myapp.fly.dev", dns::RecordType::kA),
            "server failure (SERVFAIL) from " + server.name_server());
}

TEST(FakeDnsRobustness, GarbageQueriesAreIgnoredAndServiceGoesOn) {
  fake::FakeDns server;
  server.add_record({"myapp.fly.dev", "A", "203.0.113.7"});
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(server.port());
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto* address = reinterpret_cast<const sockaddr*>(&where);

  const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(udp, 0);
  const unsigned char junk[] = {0x12, 0x34, 0x01};
  EXPECT_EQ(::sendto(udp, junk, sizeof junk, 0, address, sizeof where), 3);
  ::close(udp);

  // A TCP client that promises 512 bytes, sends three and hangs up.
  const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(tcp, 0);
  ASSERT_EQ(::connect(tcp, address, sizeof where), 0);
  const unsigned char partial[] = {0x02, 0x00, 0x12, 0x34, 0x01};
  EXPECT_EQ(::send(tcp, partial, sizeof partial, MSG_NOSIGNAL), 5);
  ::close(tcp);

  EXPECT_EQ(lookup(server, "myapp.fly.dev", dns::RecordType::kA), "203.0.113.7");
  EXPECT_EQ(server.query_count(fake::DnsTransport::kUdp), 1u);
  EXPECT_EQ(server.query_count(fake::DnsTransport::kTcp), 0u);
}

TEST(FakeDnsRobustness, RefusesAnAddressThatIsNotAnIp) {
  EXPECT_THROW(fake::FakeDns(fake::FakeDnsOptions{.address = "localhost", .port = 0}),
               std::invalid_argument);
}

}  // namespace
