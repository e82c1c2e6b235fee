// Where requests travel: never through a proxy in clear text, and a long poll that can be
// abandoned at once.
#include <atomic>
#include <cstdlib>
#include <thread>

#include <gmock/gmock.h>

#include "corvane/api_fixture.hpp"
#include "support/stand_in_proxy.hpp"
#include "support/test_certificates.hpp"

namespace corvane::api::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kProxyVariables[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                           "HTTPS_PROXY", "all_proxy",  "ALL_PROXY"};

// Points every proxy variable at `url` for the test's lifetime.
class ProxyEnvironment {
 public:
  explicit ProxyEnvironment(const std::string& url) {
    for (const char* name : kProxyVariables) setenv(name, url.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
  }
  ~ProxyEnvironment() {
    for (const char* name : kProxyVariables) unsetenv(name);
  }
  ProxyEnvironment(const ProxyEnvironment&) = delete;
  ProxyEnvironment& operator=(const ProxyEnvironment&) = delete;
};

TEST_F(ApiTest, PlainHttpNeverGoesThroughAProxy) {
  quelmar::testing::StandInProxy proxy;
  ProxyEnvironment environment(proxy.url());

  EXPECT_EQ(client.list(kApp, "iad"), json::array());
  EXPECT_EQ(fake.requests().size(), 1U);
  EXPECT_TRUE(proxy.first_lines().empty());
}

TEST(TransportOverTls, HttpsFollowsTheProxyVariables) {
  quelmar::testing::TestCertificates certificates;
  FakePlatform fake{{.token = kToken,
                     .apps = {kApp},
                     .tls_cert_file = certificates.server_cert(),
                     .tls_key_file = certificates.server_key()}};
  quelmar::testing::StandInProxy proxy;
  ProxyEnvironment environment(proxy.url());
  API client(kToken, {.base_url = fake.base_url(),
                      .ca_file = certificates.ca(),
                      .connect_timeout = 5s,
                      .request_timeout = 5s,
                      .max_retries = 0});

  EXPECT_THROW(client.list(kApp, ""), Error) << "the stand-in proxy answers nothing";
  ASSERT_EQ(proxy.first_lines().size(), 1U);
  // Tunnelled: the proxy sees where to, never the request or its token.
  EXPECT_THAT(proxy.first_lines()[0],
              StartsWith("CONNECT 127.0.0.1:" + std::to_string(fake.port())));
  EXPECT_TRUE(fake.requests().empty());
}

TEST_F(ApiTest, ACancelledWaitEndsAtOnceAsUnanswered) {
  seed_machine("aa01", "started");
  std::atomic<bool> cancelled{false};
  ClientOptions options = options_for(fake);
  options.wait_timeout_seconds = 60;
  options.wait_total = 3600s;
  options.waits_cancelled = [&cancelled] { return cancelled.load(); };
  API waiting(kToken, options);
  fake.set_wait_hold(60s);

  // The fake holds the wait; cancelling while it is held abandons the request.
  std::thread canceller([&] {
    while (fake.requests().empty()) std::this_thread::sleep_for(1ms);
    cancelled = true;
  });
  const Answer answer = waiting.wait_machine(kApp, "aa01", "01HEPA330HZ37A78TK080NAK1M", "stopped");
  canceller.join();
  EXPECT_TRUE(answer.unanswered());
  EXPECT_THAT(answer.reason(), HasSubstr("interrupted"));
  EXPECT_EQ(fake.requests().size(), 1U);

  // Once cancelled, no further wait is sent; other requests still are.
  EXPECT_TRUE(waiting.wait_machine(kApp, "aa01", "", "started").unanswered());
  EXPECT_EQ(fake.requests().size(), 1U);
  EXPECT_TRUE(waiting.get_machine(kApp, "aa01").done());
}

}  // namespace
}  // namespace corvane::api::testing
