// The quelmar-fake-fly executable: announces its URL, serves, and ends cleanly on SIGTERM.
#include <csignal>
#include <string>

#include "corvane/api_fixture.hpp"
#include "support/fake_fly_process.hpp"
#include "support/test_certificates.hpp"

namespace corvane::api::testing {
namespace {

using quelmar::testing::FakeFlyProcess;

TEST(FakeFlyExecutable, ServesUntilSigtermThenExitsCleanly) {
  FakeFlyProcess process(QUELMAR_FAKE_FLY_EXE,
                         {"--port", "0", "--token", "exe-token", "--app", "demo"});
  const std::string url = process.read_line();
  ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;

  {
    // Closed before the stop, so the fake need not outwait an idle connection.
    API exe_client("exe-token", {.base_url = url, .max_retries = 0});
    EXPECT_EQ(exe_client.list("demo", "iad"), json::array());
    EXPECT_TRUE(exe_client.list("other", "iad").contains("error"));
  }

  EXPECT_EQ(process.stop_with(SIGTERM), 0);
}

TEST(FakeFlyExecutable, ServesHttpsWithTheGivenCertificate) {
  const quelmar::testing::TestCertificates certificates;
  FakeFlyProcess process(QUELMAR_FAKE_FLY_EXE,
                         {"--token", "exe-token", "--app", "demo", "--tls",
                          certificates.server_cert(), certificates.server_key()});
  const std::string url = process.read_line();
  ASSERT_EQ(url.rfind("https://127.0.0.1:", 0), 0u) << url;
  {
    API exe_client("exe-token", {.base_url = url, .ca_file = certificates.ca(), .max_retries = 0});
    EXPECT_EQ(exe_client.list("demo", "iad"), json::array());
  }
  EXPECT_EQ(process.stop_with(SIGTERM), 0);
}

}  // namespace
}  // namespace corvane::api::testing
