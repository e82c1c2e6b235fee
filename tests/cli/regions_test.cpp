// `fly list` and `fly address` see every region, and `address` picks a meter's mediator by the
// rule of `addresses`, so that the two never disagree.
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/fleet_cli.hpp"
#include "fake_dns.hpp"

namespace quelmar::cli::testing {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

// Where a mediator with this port is reached in the fake's private network.
std::string private_address(int port) {
  return "[" + fake_fly::fly_app_flycast_address(0) + "]:" + std::to_string(port);
}

class Regions : public FleetCli {
 protected:
  std::map<std::string, std::string> addresses() {
    const auto r = fly({"addresses", "--json"});
    std::map<std::string, std::string> found;
    if (r.status != 0) return found;
    for (const auto& m : json::parse(r.out)) found[m["meter_id"]] = m["address"];
    return found;
  }
};

TEST_F(Regions, ListShowsEveryRegionUnlessOneIsGiven) {
  platform_.add_machine("meters", listed_mediator("a1", "m-1", "iad", "started", 5001));
  platform_.add_machine("meters", listed_mediator("b1", "m-2", "ams", "started", 5002));

  auto r = fly({"list", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto listed = json::parse(r.out);
  ASSERT_EQ(listed.size(), 2U);
  EXPECT_EQ(listed[0]["region"], "iad");
  EXPECT_EQ(listed[1]["region"], "ams");
  EXPECT_EQ(listed[1]["id"], "b1");

  r = fly({"list"});
  EXPECT_THAT(r.out, HasSubstr("STATE     REGION  PORT"));
  EXPECT_THAT(r.out, HasSubstr("started   ams     5002"));
  EXPECT_THAT(r.out, HasSubstr("2 machines\n"));

  r = fly({"list", "--json", "--region", "ams", "--meter-id", "m-2"});
  listed = json::parse(r.out);
  ASSERT_EQ(listed.size(), 1U);
  EXPECT_EQ(listed[0]["id"], "b1");
  EXPECT_EQ(fly({"list", "--json", "--region", "ams", "--meter-id", "m-1"}).out, "[]\n");

  // The listing asked the platform for every region, then for the one region given.
  const auto requests = platform_.requests();
  ASSERT_GE(requests.size(), 3U);
  EXPECT_EQ(requests[0].query.count("region") == 0 || requests[0].query.at("region").empty(), true);
  EXPECT_EQ(requests[2].query.at("region"), "ams");
}

TEST_F(Regions, AddressAndAddressesPickTheSameMediator) {
  struct Case {
    std::string name;
    std::vector<json> machines;  // of the case's meter, in listing order
    std::optional<int> port;     // the one the address must carry; none: no live mediator
  };
  // Each case has a meter of its own: "m-" and the case's number.
  const auto of = [](int meter, const std::string& id, const std::string& region,
                     const std::string& state, int port) {
    return listed_mediator(id, "m-" + std::to_string(meter), region, state, port);
  };
  const std::vector<Case> cases{
      {"only in another region", {of(0, "a1", "ams", "started", 5001)}, 5001},
      {"a started one beats an earlier stopped one",
       {of(1, "b1", "iad", "stopped", 5001), of(1, "b2", "ams", "started", 5002)},
       5002},
      {"dead records are nobody's mediator",
       {of(2, "c1", "iad", "destroyed", 5001), of(2, "c2", "iad", "destroying", 5002),
        of(2, "c3", "syd", "stopped", 5003)},
       5003},
      {"none but dead records", {of(3, "d1", "iad", "destroyed", 5001)}, std::nullopt},
  };
  for (const auto& c : cases) {
    for (const auto& m : c.machines) platform_.add_machine("meters", m);
  }
  const auto all = addresses();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    const std::string meter = "m-" + std::to_string(i);
    // A region narrows list, never address.
    for (const auto& region : std::vector<std::vector<std::string>>{{}, {"--region", "iad"}}) {
      auto args = region;
      args.insert(args.end(), {"address", meter});
      const auto r = fly(args);
      if (c.port) {
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, private_address(*c.port) + "\n") << c.name;
      } else {
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, "quelmar: no match for meters with id " + meter + "\n") << c.name;
      }
    }
    if (c.port) {
      EXPECT_EQ(all.count(meter) == 1 ? all.at(meter) : "", private_address(*c.port)) << c.name;
    } else {
      EXPECT_EQ(all.count(meter), 0U) << c.name;
    }
  }
}

TEST_F(Regions, CreateStillGoesToTheRegionGiven) {
  const auto create = [this](const std::string& serial, const std::vector<std::string>& region) {
    std::vector<std::string> args = region;
    args.insert(args.end(), {"create", "--cmd", "/m", "--meter-id", "m-" + serial, "--serial",
                             serial, "--ip-address", "10.0.0.1", "--port", "50051", "--yes"});
    return fly(args).status;
  };
  ASSERT_EQ(create("S1", {}), 0);
  ASSERT_EQ(create("S2", {"--region", "ams"}), 0);
  const auto machines = platform_.machines("meters");
  ASSERT_EQ(machines.size(), 2U);
  EXPECT_EQ(machines[0]["region"], "iad");
  EXPECT_EQ(machines[1]["region"], "ams");
}

}  // namespace
}  // namespace quelmar::cli::testing
