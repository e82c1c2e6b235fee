// The built executables together: quelmar against a running quelmar-fake-fly.
#include <cstdio>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/fake_fly_process.hpp"

namespace {

using quelmar::testing::FakeFlyProcess;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

struct ProcessRun {
  int status;
  std::string out;
};

// Runs quelmar with a shell command line; stdout only, stderr is dropped.
ProcessRun quelmar(const std::string& args) {
  const std::string command = std::string(QUELMAR_EXE) + " " + args + " 2>/dev/null </dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(EndToEnd, MediatorRoundTripAgainstTheFakeExecutable) {
  FakeFlyProcess fake(FAKE_FLY_EXE, {"--token", "e2e-token", "--app", "e2e"});
  const std::string url = fake.read_line();
  const std::string dns_line = fake.read_line();
  ASSERT_THAT(dns_line, MatchesRegex("dns 127\\.0\\.0\\.1:[0-9]+"));
  const std::string fly = "fly --app e2e --token e2e-token --api-url " + url + " --dns-server " +
                          dns_line.substr(4) + " --image img:1 ";

  const ProcessRun created = quelmar(fly +
                                     "create --cmd run --meter-id m9 --serial S9 "
                                     "--ip-address 10.9.9.9 --port 7000 --yes");
  ASSERT_EQ(created.status, 0);
  const std::string id = created.out.substr(0, created.out.size() - 1);

  const ProcessRun listed = quelmar(fly + "list --json");
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(nlohmann::json::parse(listed.out)[0]["id"], id);

  const ProcessRun address = quelmar(fly + "address m9");
  EXPECT_EQ(address.status, 0);
  EXPECT_THAT(address.out, MatchesRegex("\\[fdaa:[0-9a-f:]+\\]:7000\n"));

  const ProcessRun destroyed = quelmar(fly + "destroy " + id);
  EXPECT_EQ(destroyed.status, 0);
  EXPECT_THAT(destroyed.out, HasSubstr("destroy_rsp [" + id + "]: "));

  EXPECT_EQ(quelmar(fly + "list --json").out, "[]\n");
  EXPECT_EQ(fake.stop_with(SIGTERM), 0);
}

}  // namespace
