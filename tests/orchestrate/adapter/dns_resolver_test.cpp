#include "orchestrate/adapter/dns_resolver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fake_dns.hpp"
#include "support/param_names.hpp"

namespace dns = quelmar::orchestrate::adapter::dns;
using quelmar::fake_fly::DnsFault;
using quelmar::fake_fly::DnsRcode;
using quelmar::fake_fly::DnsRecord;
using quelmar::fake_fly::DnsReply;
using quelmar::fake_fly::DnsTransport;
using quelmar::fake_fly::FakeDns;
using quelmar::fake_fly::FakeDnsOptions;
using ::testing::HasSubstr;

namespace {

// ---- parse_name_server -------------------------------------------------------

struct ParsedCase {
  std::string text;
  std::string address;
  std::optional<std::uint16_t> port;
};

class ParseNameServer : public ::testing::TestWithParam<ParsedCase> {};

TEST_P(ParseNameServer, AcceptsAddressWithOptionalPort) {
  const dns::NameServer parsed = dns::parse_name_server(GetParam().text);
  EXPECT_EQ(parsed.address, GetParam().address);
  EXPECT_EQ(parsed.port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(Forms, ParseNameServer,
                         ::testing::Values(ParsedCase{"127.0.0.1", "127.0.0.1", std::nullopt},
                                           ParsedCase{"127.0.0.1:5353", "127.0.0.1", 5353},
                                           ParsedCase{"1.1.1.1:65535", "1.1.1.1", 65535},
                                           ParsedCase{"fdaa::3", "fdaa::3", std::nullopt},
                                           ParsedCase{"::1", "::1", std::nullopt},
                                           ParsedCase{"fdaa:0:18::3", "fdaa:0:18::3", std::nullopt},
                                           ParsedCase{"[fdaa::3]:53", "fdaa::3", 53},
                                           ParsedCase{"[::1]:5353", "::1", 5353}),
                         [](const auto& info) {
                           return quelmar::testing::param_name(info.param.text);
                         });

class RejectNameServer : public ::testing::TestWithParam<std::string> {};

TEST_P(RejectNameServer, ThrowsNamingTheText) {
  try {
    dns::parse_name_server(GetParam());
    FAIL() << "accepted '" << GetParam() << "'";
  } catch (const std::invalid_argument& e) {
    EXPECT_THAT(e.what(), HasSubstr("'" + GetParam() + "'"));
  }
}

INSTANTIATE_TEST_SUITE_P(Bad, RejectNameServer,
                         ::testing::Values("", "localhost", "ns.example.com:53", "256.1.1.1",
                                           "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                                           "127.0.0.1:53x", "127.0.0.1:-1", "[::1]",
                                           "[::1]:", "[127.0.0.1]:53", "[fdaa::3:53", "fdaa::3]:53",
                                           " 127.0.0.1", "127.0.0.1:+53"),
                         [](const auto& info) { return quelmar::testing::param_name(info.param); });

TEST(ResolverConstruction, BadAddressOrOptionsAreNotALookupError) {
  EXPECT_THROW(dns::Resolver(dns::NameServer{"not-an-ip", std::nullopt}), std::invalid_argument);
  EXPECT_THROW(dns::Resolver(dns::NameServer{"127.0.0.1", 0}), std::invalid_argument);
  const dns::NameServer server{"127.0.0.1", 53};
  EXPECT_THROW(dns::Resolver(server, {.tries = 0}), std::invalid_argument);
  EXPECT_THROW(dns::Resolver(server, {.tries = 256}), std::invalid_argument);
  EXPECT_THROW(dns::Resolver(server, {.try_timeout = std::chrono::milliseconds(0)}),
               std::invalid_argument);
  EXPECT_THROW(dns::Resolver(server, {.deadline = std::chrono::milliseconds(0)}),
               std::invalid_argument);
  EXPECT_THROW(dns::Resolver(server, {.deadline = std::chrono::hours(2)}), std::invalid_argument);
}

// ---- one reply, as bytes ---------------------------------------------------------

TEST(ReadReply, TellsTheServersOwnBrokenAnswersFromNoise) {
  using Bytes = std::vector<std::uint8_t>;
  const dns::Question question{.id = 0x1234, .name = "myapp.flycast.", .type = dns::RecordType::kA};
  const auto kind = [&](const Bytes& reply) { return dns::read_reply(reply, question, "S").kind; };
  // Header only: id, flags (RA set), then no question and no records.
  const auto header = [](std::uint8_t id_high, std::uint8_t flags_high, std::uint8_t rcode) {
    Bytes out(12, 0);
    out[0] = id_high;
    out[1] = 0x34;
    out[2] = flags_high;
    out[3] = static_cast<std::uint8_t>(0x80 | rcode);
    return out;
  };
  EXPECT_EQ(kind({}), dns::ReplyOutcome::Kind::kNotOurs);
  EXPECT_EQ(kind({0x43, 0x21, 0xff}), dns::ReplyOutcome::Kind::kNotOurs);
  EXPECT_EQ(kind(header(0x43, 0x81, 2)), dns::ReplyOutcome::Kind::kNotOurs);  // another id
  EXPECT_EQ(kind(header(0x12, 0x01, 2)), dns::ReplyOutcome::Kind::kNotOurs);  // not a response
  EXPECT_EQ(kind(header(0x12, 0x83, 0)), dns::ReplyOutcome::Kind::kTruncated);
  // Ours: an error without the question echoed, and garbage that carries the id.
  EXPECT_THROW(kind(header(0x12, 0x81, 2)), dns::LookupError);
  EXPECT_THROW(kind({0x12, 0x34, 0xff}), dns::LookupError);
}

// ---- the resolver against the fake responder ---------------------------------

class ResolverAgainstFake : public ::testing::Test {
 protected:
  std::string lookup(const std::string& name, dns::RecordType type,
                     dns::ResolverOptions options = {}) {
    dns::Resolver resolver(dns::parse_name_server(server.name_server()), options);
    return resolver.first_address(name, type);
  }

  // The LookupError's text, or a failure when the look-up succeeded.
  std::string lookup_error(const std::string& name, dns::RecordType type,
                           dns::ResolverOptions options = {}) {
    try {
      const std::string address = lookup(name, type, options);
      ADD_FAILURE() << "resolved " << name << " to " << address;
    } catch (const dns::LookupError& e) {
      return e.what();
    }
    return {};
  }

  FakeDns server;
};

TEST_F(ResolverAgainstFake, ReturnsTheAddressOfTheAskedType) {
  server.add_record({"myapp.fly.dev", "A", "203.0.113.7"});
  server.add_record({"myapp.flycast", "AAAA", "fdaa:0:1:0:0:0:0:7"});
  server.add_record({"dual.flycast", "A", "203.0.113.9"});
  server.add_record({"dual.flycast", "AAAA", "fdaa::9"});

  EXPECT_EQ(lookup("myapp.fly.dev", dns::RecordType::kA), "203.0.113.7");
  EXPECT_EQ(lookup("myapp.fly.dev.", dns::RecordType::kA), "203.0.113.7");
  EXPECT_EQ(lookup("myapp.flycast", dns::RecordType::kAaaa), "fdaa:0:1::7");  // inet_ntop form
  EXPECT_EQ(lookup("dual.flycast", dns::RecordType::kAaaa), "fdaa::9");
  EXPECT_EQ(lookup("dual.flycast", dns::RecordType::kA), "203.0.113.9");
  EXPECT_EQ(server.query_count(DnsTransport::kUdp), 5u);
}

TEST_F(ResolverAgainstFake, SeveralRecordsGiveTheFirstReceived) {
  server.add_record({"myapp.fly.dev", "A", "203.0.113.20"});
  server.add_record({"myapp.fly.dev", "A", "203.0.113.3"});
  server.add_record({"myapp.fly.dev", "A", "203.0.113.100"});
  EXPECT_EQ(lookup("myapp.fly.dev", dns::RecordType::kA), "203.0.113.20");
}

TEST_F(ResolverAgainstFake, CnameChainLeadsToTheFirstAddress) {
  server.add_record({"myapp.flycast", "CNAME", "edge.flycast."});
  server.add_record({"edge.flycast", "CNAME", "pool.flycast."});
  server.add_record({"pool.flycast", "AAAA", "fdaa::42"});
  server.add_record({"pool.flycast", "AAAA", "fdaa::43"});
  EXPECT_EQ(lookup("myapp.flycast", dns::RecordType::kAaaa), "fdaa::42");
}

TEST_F(ResolverAgainstFake, RecordsOfAnotherTypeOnlyAreNoAddress) {
  server.set_record_source([](const std::string& qname, const std::string&) {
    return DnsReply{.rcode = DnsRcode::kNoError, .answer = {{qname, "A", "203.0.113.1"}}};
  });
  EXPECT_EQ(lookup_error("myapp.flycast", dns::RecordType::kAaaa),
            "no AAAA record for myapp.flycast.");
}

TEST_F(ResolverAgainstFake, ANameWithoutTheTypeIsNoData) {
  server.add_record({"myapp.fly.dev", "A", "203.0.113.7"});
  EXPECT_EQ(lookup_error("myapp.fly.dev", dns::RecordType::kAaaa),
            "no AAAA record for myapp.fly.dev.");
}

TEST_F(ResolverAgainstFake, UnknownNameDoesNotExist) {
  EXPECT_EQ(lookup_error("ghost.fly.dev", dns::RecordType::kA),
            "name does not exist: ghost.fly.dev.");
}

TEST_F(ResolverAgainstFake, InvalidNameIsALookupError) {
  EXPECT_THAT(lookup_error("", dns::RecordType::kA), HasSubstr("invalid DNS name"));
  EXPECT_THAT(lookup_error(std::string(70, 'a') + ".fly.dev", dns::RecordType::kA),
              HasSubstr("invalid DNS name"));
  EXPECT_EQ(server.query_count(DnsTransport::kUdp), 0u);
}

struct FaultCase {
  std::string label;
  DnsFault fault;
  std::string cause;
};

class ResolverFaults : public ResolverAgainstFake,
                       public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ResolverFaults, BecomeALookupErrorNamingTheServer) {
  server.add_record({"myapp.fly.dev", "A", "203.0.113.7"});
  server.set_fault(GetParam().fault);
  EXPECT_EQ(lookup_error("myapp.fly.dev", dns::RecordType::kA),
            GetParam().cause + " from " + server.name_server());
}

INSTANTIATE_TEST_SUITE_P(
    Rcodes, ResolverFaults,
    ::testing::Values(FaultCase{"servfail", DnsFault::kServFail, "server failure (SERVFAIL)"},
                      FaultCase{"refused", DnsFault::kRefused, "query refused (REFUSED)"}),
    [](const auto& info) { return info.param.label; });

TEST_F(ResolverAgainstFake, MalformedAnswerIsALookupError) {
  server.add_record({"myapp.fly.dev", "A", "203.0.113.7"});
  server.set_fault(DnsFault::kMalformed);
  EXPECT_THAT(lookup_error("myapp.fly.dev", dns::RecordType::kA),
              HasSubstr("malformed answer from " + server.name_server()));
}

TEST_F(ResolverAgainstFake, TruncatedUdpAnswerIsRetriedOverTcp) {
  server.add_record({"myapp.flycast", "AAAA", "fdaa::7"});
  server.set_fault(DnsFault::kTruncate);
  EXPECT_EQ(lookup("myapp.flycast", dns::RecordType::kAaaa), "fdaa::7");
  EXPECT_EQ(server.query_count(DnsTransport::kUdp), 1u);
  EXPECT_EQ(server.query_count(DnsTransport::kTcp), 1u);
}

TEST_F(ResolverAgainstFake, OverTcpOnlyTheAnswerToTheQueryIsTaken) {
  server.add_record({"myapp.flycast", "AAAA", "fdaa::7"});
  server.set_fault(DnsFault::kTruncateThenStray);
  EXPECT_EQ(lookup_error("myapp.flycast", dns::RecordType::kAaaa),
            "malformed answer from " + server.name_server() + " (not a response to the query)");
  EXPECT_EQ(server.query_count(DnsTransport::kTcp), 1u);
}

TEST_F(ResolverAgainstFake, StrayRepliesAreIgnoredAndTheRealOneIsAwaited) {
  server.add_record({"myapp.flycast", "AAAA", "fdaa::7"});
  server.add_record({"myapp.fly.dev", "A", "203.0.113.7"});
  server.set_fault(DnsFault::kStrayFirst);
  EXPECT_EQ(lookup("myapp.flycast", dns::RecordType::kAaaa), "fdaa::7");
  EXPECT_EQ(lookup("myapp.fly.dev", dns::RecordType::kA), "203.0.113.7");
  EXPECT_EQ(server.query_count(DnsTransport::kUdp), 2u);  // no retry needed
}

TEST_F(ResolverAgainstFake, RecordsForAnotherNameAreIgnored) {
  server.add_record({"myapp.flycast", "AAAA", "fdaa::7"});
  server.set_fault(DnsFault::kForeignFirst);
  EXPECT_EQ(lookup("myapp.flycast", dns::RecordType::kAaaa), "fdaa::7");

  server.set_fault(DnsFault::kNone);
  server.set_record_source([](const std::string&, const std::string& qtype) {
    return DnsReply{.rcode = DnsRcode::kNoError,
                    .answer = {{"evil.example", qtype, "2001:db8::666"},
                               {"edge.flycast", "CNAME", "evil.example."}}};
  });
  EXPECT_EQ(lookup_error("other.flycast", dns::RecordType::kAaaa),
            "no AAAA record for other.flycast.");
}

TEST_F(ResolverAgainstFake, CnameTargetsCountOnlyOnTheQueriedChain) {
  server.set_record_source([](const std::string& qname, const std::string&) {
    return DnsReply{.rcode = DnsRcode::kNoError,
                    .answer = {{"evil.example", "AAAA", "2001:db8::666"},
                               {"pool.flycast", "AAAA", "fdaa::42"},
                               {qname, "CNAME", "edge.flycast."},
                               {"edge.flycast", "CNAME", "pool.flycast."},
                               {"loop.flycast", "CNAME", "evil.example."}}};
  });
  EXPECT_EQ(lookup("myapp.flycast", dns::RecordType::kAaaa), "fdaa::42");
}

TEST_F(ResolverAgainstFake, ACnameChainIsFollowedSixteenHopsAtMost) {
  // qname -> hop1 -> ... -> hopN, which holds the address; listed last hop first.
  const auto chain_of = [](int hops) {
    return [hops](const std::string& qname, const std::string&) {
      DnsReply reply{.rcode = DnsRcode::kNoError,
                     .answer = {{"hop" + std::to_string(hops) + ".flycast", "AAAA", "fdaa::42"}}};
      for (int i = hops; i >= 1; --i) {
        const std::string owner = i == 1 ? qname : "hop" + std::to_string(i - 1) + ".flycast";
        reply.answer.push_back({owner, "CNAME", "hop" + std::to_string(i) + ".flycast."});
      }
      return reply;
    };
  };
  server.set_record_source(chain_of(16));
  EXPECT_EQ(lookup("myapp.flycast", dns::RecordType::kAaaa), "fdaa::42");
  server.set_record_source(chain_of(17));
  EXPECT_EQ(lookup_error("myapp.flycast", dns::RecordType::kAaaa),
            "no AAAA record for myapp.flycast.");
}

// The deadline is kept on the clock the resolver is given: one that passes the deadline as soon
// as the server has the query ends the look-up after that one query, its answer not taken.
TEST_F(ResolverAgainstFake, TheDeadlineIsKeptOnTheGivenClock) {
  using TimePoint = std::chrono::steady_clock::time_point;
  server.add_record({"myapp.fly.dev", "A", "203.0.113.7"});
  const TimePoint start = TimePoint{} + std::chrono::hours(24);
  const auto deadline = std::chrono::milliseconds(7000);
  std::vector<TimePoint> sleeps;  // the resolver sleeps on the calling thread
  const dns::ResolverOptions options{
      .clock = {.now =
                    [&] {
                      // The server counts a query before it answers it.
                      const bool asked = server.query_count(DnsTransport::kUdp) > 0;
                      return asked ? start + deadline + std::chrono::milliseconds(1) : start;
                    },
                .sleep_until = [&](TimePoint until) { sleeps.push_back(until); }}};
  EXPECT_EQ(lookup_error("myapp.fly.dev", dns::RecordType::kA, options),
            "no answer from " + server.name_server() + " within 7 s");
  EXPECT_EQ(server.query_count(DnsTransport::kUdp), 1u);
  // The pause before the second try was cut to the deadline, on that clock.
  EXPECT_EQ(sleeps, std::vector<TimePoint>{start + deadline});
}

TEST(ResolverOverIpv6, ReachesABracketedServer) {
  FakeDns server(FakeDnsOptions{.address = "::1", .port = 0});
  server.add_record({"myapp.flycast", "AAAA", "fdaa::7"});
  EXPECT_EQ(server.name_server(), "[::1]:" + std::to_string(server.port()));
  dns::Resolver resolver(dns::parse_name_server(server.name_server()));
  EXPECT_EQ(resolver.first_address("myapp.flycast", dns::RecordType::kAaaa), "fdaa::7");
}

}  // namespace
