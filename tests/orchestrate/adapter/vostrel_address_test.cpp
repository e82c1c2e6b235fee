// Finding a mediator's address by DNS, and ending the process when a look-up
// fails.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vostrel_fixture.hpp"

namespace quelmar::orchestrate::adapter::vostrel::testing {
namespace {

constexpr const char* kFlycastIp = "fdaa:0:18:a7b::2";
constexpr const char* kPublicIp = "203.0.113.7";

class AddressTest : public VostrelTest {
 protected:
  void SetUp() override {
    dns.add_record({std::string(kApp) + ".flycast", "AAAA", kFlycastIp});
    dns.add_record({std::string(kApp) + ".fly.dev", "A", kPublicIp});
  }

  FlyAdapter make(bool use_private, bool single) {
    auto o = options();
    o.use_private_address = use_private;
    o.is_single_meter_app = single;
    if (single) o.serial = "S1";
    return FlyAdapter(o);
  }

  std::size_t queries() const {
    return dns.query_count(fake_fly::DnsTransport::kUdp) +
           dns.query_count(fake_fly::DnsTransport::kTcp);
  }
};

struct ModeRow {
  const char* label;
  bool use_private;
  bool single;
  std::string expected;
};

class AddressModeTest : public AddressTest, public ::testing::WithParamInterface<ModeRow> {};

TEST_P(AddressModeTest, MediatorAddressFollowsTheAddressingMode) {
  platform.add_machine(kApp, machine_record("aa01", "mediator-S1", "started", "m-1", 7001));
  auto adapter = make(GetParam().use_private, GetParam().single);

  EXPECT_EQ(adapter.mediator_address("m-1", "S1"), GetParam().expected);
  EXPECT_EQ(adapter.mediator_address("m-1", "another serial"), GetParam().expected);
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(exits.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, AddressModeTest,
    ::testing::Values(ModeRow{"private_multi", true, false, "[fdaa:0:18:a7b::2]:7001"},
                      ModeRow{"private_single", true, true, "[fdaa:0:18:a7b::2]:44444"},
                      ModeRow{"public_multi", false, false, "203.0.113.7:50051"},
                      ModeRow{"public_single", false, true, "203.0.113.7:50051"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(AddressTest, PrivateAddressesDifferOnlyInTheMachinePort) {
  auto adapter = make(true, false);
  const Container a{.id = "a", .port = 7001};
  const Container b{.id = "b", .port = 65535};
  EXPECT_EQ(adapter.get_private_flycast_ip(), kFlycastIp);
  EXPECT_EQ(adapter.get_private_address(a), "[fdaa:0:18:a7b::2]:7001");
  EXPECT_EQ(adapter.get_private_address(b), "[fdaa:0:18:a7b::2]:65535");
  EXPECT_EQ(adapter.get_private_address_for_single_meter_app(a),
            adapter.get_private_address_for_single_meter_app(b));
  // Nothing is cached: one query per call.
  EXPECT_EQ(queries(), 5U);
}

TEST_F(AddressTest, TheFirstRecordOfTheAnswerIsUsed) {
  dns.add_record({std::string(kApp) + ".fly.dev", "A", "198.51.100.9"});
  dns.add_record({std::string(kApp) + ".flycast", "AAAA", "fdaa::9"});
  auto adapter = make(false, false);
  EXPECT_EQ(adapter.get_public_address(), "203.0.113.7:50051");
  EXPECT_EQ(adapter.get_private_flycast_ip(), kFlycastIp);
}

TEST_F(AddressTest, FirstMatchingMachineInPlatformOrderWinsAndStoppedOnesCount) {
  platform.add_machine(kApp, machine_record("aa01", "mediator-A", "started", "M-1", 7000));
  platform.add_machine(kApp, machine_record("aa02", "mediator-B", "stopped", "m-1", 7002));
  platform.add_machine(kApp, machine_record("aa03", "mediator-C", "started", "m-1", 7003));
  auto adapter = make(true, false);
  EXPECT_EQ(adapter.mediator_address("m-1", "S"), "[fdaa:0:18:a7b::2]:7002");
  EXPECT_EQ(out.str(), "");
}

TEST_F(AddressTest, NoMatchPrintsOneLineAndQueriesNothing) {
  platform.add_machine(kApp, machine_record("aa01", "mediator-A", "started", "M-9", 7000));
  auto adapter = make(true, false);
  EXPECT_EQ(adapter.mediator_address("m-9", "S"), std::nullopt);
  EXPECT_EQ(out.str(), "no match for meters with id m-9\n");
  EXPECT_EQ(queries(), 0U);
}

TEST_F(AddressTest, PlatformFailureEndsAsNoMatch) {
  auto o = options();
  o.app_name = "no-such-app";
  FlyAdapter adapter(o);
  EXPECT_EQ(adapter.mediator_address("m-1", "S"), std::nullopt);
  EXPECT_EQ(out.str(), "no match for meters with id m-1\n");
}

struct FailureRow {
  const char* label;
  fake_fly::DnsFault fault;
  bool private_lookup;
};

class LookupFailureTest : public AddressTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(LookupFailureTest, PrintsTheReasonAndEndsWithTheLookupsStatus) {
  dns.set_fault(GetParam().fault);
  auto adapter = make(GetParam().private_lookup, false);
  const Container machine{.id = "aa01", .port = 7001};

  try {
    adapter.get_app_address(machine);
    FAIL() << "returned after a failed look-up";
  } catch (const ProcessExit& e) {
    EXPECT_EQ(e.status(), GetParam().private_lookup ? 10 : 11);
  }

  const std::string printed = out.str();
  const std::string head = GetParam().private_lookup ? "\nFailed to resolve flycast address ["
                                                     : "\nFailed to resolve address [";
  const std::string tail =
      GetParam().private_lookup ? "]\n\nHas Wireguard been started??\n\n" : "]\n\n";
  EXPECT_TRUE(printed.starts_with(head)) << printed;
  EXPECT_TRUE(printed.ends_with(tail)) << printed;
  EXPECT_GT(printed.size(), head.size() + tail.size()) << "no reason given: " << printed;
  EXPECT_EQ(printed.find("7001"), std::string::npos);
  EXPECT_EQ(exits, std::vector<int>{GetParam().private_lookup ? 10 : 11});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LookupFailureTest,
    ::testing::Values(FailureRow{"public_servfail", fake_fly::DnsFault::kServFail, false},
                      FailureRow{"private_servfail", fake_fly::DnsFault::kServFail, true},
                      FailureRow{"private_refused", fake_fly::DnsFault::kRefused, true},
                      FailureRow{"public_malformed", fake_fly::DnsFault::kMalformed, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(AddressTest, UnknownNamesEndTheProcess) {
  auto o = options();
  o.app_name = "ghost";
  FlyAdapter adapter(o);
  EXPECT_THROW(adapter.get_public_address(), ProcessExit);
  EXPECT_THROW(adapter.get_private_flycast_ip(), ProcessExit);
  EXPECT_EQ(exits, (std::vector<int>{11, 10}));
}

TEST_F(AddressTest, ABadNameServerIsAnErrorForTheCallerNotAnExit) {
  auto o = options();
  o.dns_server = "not a name server";
  o.public_resolver = "not a resolver";
  FlyAdapter adapter(o);
  const std::vector<std::pair<std::function<void()>, std::string>> lookups{
      {[&] { adapter.get_private_flycast_ip(); }, "'not a name server'"},
      {[&] { adapter.get_public_address(); }, "'not a resolver'"}};
  for (const auto& [lookup, server] : lookups) {
    try {
      lookup();
      ADD_FAILURE() << "resolved with a bad name server";
    } catch (const ProcessExit&) {
      ADD_FAILURE() << "ended the process";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), "invalid DNS name server address: " + server);
    }
  }
  EXPECT_TRUE(exits.empty());
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(queries(), 0U);
}

// The token only ever travels in the Authorization header.
TEST_F(AddressTest, TheTokenAppearsInNoOutputOrLogLine) {
  platform.add_machine(kApp, machine_record("aa01", "mediator-A", "started", "m-1", 7000));
  auto o = options();
  FlyAdapter adapter(o);
  auto failing = o;
  failing.app_name = "no-such-app";
  FlyAdapter failing_adapter(failing);
  util::logging::CapturedLines captured(*logger);

  adapter.mediator_address("m-1", "S");
  failing_adapter.mediator_address("m-1", "S");
  adapter.destroy("aa01");
  inject_answer("POST", "", 500, R"({"error":"boom"})");
  EXPECT_THROW(
      adapter.create(
          {.cmd = "c", .meter_id = "m", .serial = "s", .ip_address = "i", .skip_confirm = true}),
      ProcessExit);

  EXPECT_EQ(out.str().find(kToken), std::string::npos) << out.str();
  for (const auto& line : captured.lines()) EXPECT_EQ(line.find(kToken), std::string::npos);
}

}  // namespace
}  // namespace quelmar::orchestrate::adapter::vostrel::testing
