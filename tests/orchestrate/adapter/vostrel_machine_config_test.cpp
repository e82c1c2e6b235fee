// How two machine configs differ, field by field, and a config brought in step with a meter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quelmar/orchestrate/adapter/machine_config.hpp"

namespace quelmar::orchestrate::adapter::machine_config {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;

std::vector<std::string> shown(const json& from, const json& to) {
  std::vector<std::string> lines;
  for (const auto& d : differences(from, to)) {
    lines.push_back(d.path + " " + (d.from ? d.from->dump() : "-") + " " +
                    (d.to ? d.to->dump() : "-"));
  }
  return lines;
}

TEST(MachineConfig, DifferencesAreNamedByTheirPathInTheConfig) {
  const json listed = json::parse(R"({"image":"a:1","init":{"cmd":["/m","x"]},
      "env":{"A.B":"1","KEEP":"k","GONE":"g"},"metadata":{"n":null},
      "services":[{"ports":[{"port":7000},{"port":1}]},{"protocol":"udp"}],"tags":[1,2]})");
  const json sent = json::parse(R"({"image":"a:2","init":{"cmd":["/m"]},
      "env":{"A.B":"2","KEEP":"k","NEW":"n"},"metadata":{},
      "services":[{"ports":[{"port":50051},{"port":1}]},{"protocol":"udp"}],"tags":[1,3]})");
  EXPECT_THAT(
      shown(listed, sent),
      ElementsAre("env[\"A.B\"] \"1\" \"2\"", "env.GONE \"g\" -", "env.NEW - \"n\"",
                  "image \"a:1\" \"a:2\"", "init.cmd [\"/m\",\"x\"] [\"/m\"]", "metadata.n null -",
                  "services[0].ports[0].port 7000 50051", "tags [1,2] [1,3]"));
  EXPECT_TRUE(differences(listed, listed).empty());
}

TEST(MachineConfig, InStepChangesOnlyTheComparedFieldsThatDiffer) {
  const json wanted = json::parse(R"({"image":"img:2","init":{"cmd":["/m"]},
      "metadata":{"meter_id":"m-1","ip_address":"10.0.0.2"},
      "env":{"METER_IP_ADDRESS":"10.0.0.2","USE_CERT_AUTH":"false"},
      "services":[{"protocol":"tcp","internal_port":50051,"ports":[{"port":50051}]}]})");
  json listed = wanted;
  listed["image"] = "img:1";
  listed["guest"] = {{"cpus", 1}};
  EXPECT_EQ(in_step(listed, wanted, {}), listed) << "the image only when compared";
  EXPECT_THAT(shown(listed, in_step(listed, wanted, {.image = true})),
              ElementsAre("image \"img:1\" \"img:2\""));

  listed["services"] = json::parse(R"([{"ports":[{"port":7000}],"handlers":["tls"]}])");
  listed["metadata"] = "broken";
  EXPECT_THAT(
      shown(listed, in_step(listed, wanted, {})),
      ElementsAre("metadata \"broken\" {\"ip_address\":\"10.0.0.2\"}",
                  "services[0].internal_port - 50051", "services[0].ports[0].port 7000 50051"));
  listed["services"] = json::array();
  EXPECT_EQ(in_step(listed, wanted, {})["services"], wanted["services"])
      << "no usable port: the wanted services";
}

MediatorRequest request_of_m1() {
  return {.region = "ams",
          .image = "img:1",
          .cmd = {"/m"},
          .meter_id = "m-1",
          .serial = "S1",
          .ip_address = "10.0.0.2",
          .port = 50051,
          .cert_auth = true};
}

TEST(MachineConfig, ReadsItsFieldsOnlyWhenTheyHaveTheRightTypeAndKeepsTheRest) {
  const MachineConfig built = MachineConfig::of_request(create_request(request_of_m1()));
  EXPECT_EQ(built.image(), "img:1");
  EXPECT_EQ(built.command(), std::vector<std::string>{"/m"});
  EXPECT_EQ(built.meter_id(), "m-1");
  EXPECT_EQ(built.ip_address(), "10.0.0.2");
  EXPECT_EQ(built.cert_auth(), true);
  EXPECT_EQ(built.service_port(), 50051);

  const MachineConfig odd(json::parse(R"({"image":7,"init":{"cmd":["/m",1]},
      "metadata":{"meter_id":["m-1"]},"env":{"USE_CERT_AUTH":"yes"},
      "services":[{"ports":[{"port":50051.0}]}],"guest":{"cpus":2}})"));
  EXPECT_FALSE(odd.image());
  EXPECT_FALSE(odd.command());
  EXPECT_FALSE(odd.meter_id());
  EXPECT_FALSE(odd.cert_auth());
  EXPECT_FALSE(odd.service_port()) << "a float is no port";
  EXPECT_EQ(odd.in_step_with(built, {}).json()["guest"], json({{"cpus", 2}}))
      << "fields it does not compare are sent back as listed";
  for (const json& number : {json(0), json(65536), json(-1), json(1e300), json("80")}) {
    EXPECT_FALSE(port_of(number)) << number;
  }
}

TEST(MachineConfig, ACreateRequestIsCheckedAgainstTheOneThisProgramBuilds) {
  const json request = create_request(request_of_m1());
  EXPECT_FALSE(check_create_request(request, "m-1", "ams"));
  EXPECT_EQ(check_create_request(request, "m-1", "fra"), RequestMismatch::kRegion);
  EXPECT_EQ(check_create_request(request, "m-2", "ams"), RequestMismatch::kMeter);

  json extra = request;
  extra["config"]["guest"] = {{"cpus", 64}};
  EXPECT_EQ(check_create_request(extra, "m-1", "ams"), RequestMismatch::kContent);
  // A port no integer could hold must be refused, not converted; so is one outside 1..65535.
  for (const json& port :
       {json(1e300), json(50051.0), json("50051"), json(nullptr), json(0), json(65536)}) {
    json bad = request;
    bad["config"]["services"][0]["ports"][0]["port"] = port;
    EXPECT_EQ(check_create_request(bad, "m-1", "ams"), RequestMismatch::kContent) << port;
  }
  EXPECT_EQ(check_create_request(json::array(), "m-1", "ams"), RequestMismatch::kRegion);
}

}  // namespace
}  // namespace quelmar::orchestrate::adapter::machine_config
