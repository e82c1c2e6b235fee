// What `quelmar fly` sends, where, and over what: no request for a name that would address
// something else, HTTPS verified against --ca-file, no token in clear text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_runner.hpp"
#include "fake_platform.hpp"
#include "quelmar/util/logging.hpp"
#include "support/log_capture.hpp"
#include "support/test_certificates.hpp"

namespace {

using quelmar::cli::testing::CliResult;
using quelmar::cli::testing::run_cli;
using quelmar::fake_fly::FakePlatform;
using quelmar::fake_fly::FakePlatformOptions;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

constexpr const char* kToken = "transport-token-0815";

// One line on stderr starting "quelmar: ", nothing on stdout, exit 2.
void expect_usage_failure(const CliResult& r) {
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_THAT(r.out, IsEmpty());
  EXPECT_THAT(r.err, StartsWith("quelmar: "));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_THAT(r.out + r.err, Not(HasSubstr(kToken)));
}

class FlyTransport : public ::testing::Test {
 protected:
  quelmar::util::logging::ScopedLogLevel quiet_{quelmar::util::logging::Level::kOff};

  static CliResult fly(const std::string& url, std::vector<std::string> args,
                       const std::string& app = "meters") {
    std::vector<std::string> all{"fly", "--app", app, "--api-url", url};
    all.insert(all.end(), args.begin(), args.end());
    return run_cli(all, "", {{"FLY_API_TOKEN", kToken}});
  }

  FakePlatform plain_{{.token = kToken, .apps = {"meters", ".."}}};
};

TEST_F(FlyTransport, NamesWithDotSegmentsSendNoRequest) {
  plain_.add_machine("meters", {{"id", "m1"}, {"name", "mediator-1"}, {"state", "started"}});
  const std::string url = plain_.base_url();
  const std::vector<std::vector<std::string>> commands = {
      {"destroy", "..", "--force"},
      {"destroy", "."},
      {"stop", "."},
      {"start", "../x"},
      {"start", "m1/.."},
      {"stop", "a\x1b]0;x\x07"},
      {"destroy", "\n", "--force"},
      {"destroy", "..\\.."},
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command[0] + " " + command[1]);
    expect_usage_failure(fly(url, command));
  }
  for (const char* app : {"..", ".", "a/../b"}) {
    SCOPED_TRACE(app);
    expect_usage_failure(fly(url, {"list"}, app));
    expect_usage_failure(fly(url, {"destroy", "m1", "--force"}, app));
  }
  EXPECT_TRUE(plain_.requests().empty());
  EXPECT_TRUE(plain_.machine("meters", "m1").has_value());
}

TEST_F(FlyTransport, PlainHttpToAnotherHostIsRefusedUnsent) {
  for (const char* url : {"http://198.51.100.7", "http://api.machines.dev:80"}) {
    SCOPED_TRACE(url);
    const CliResult r = fly(url, {"list"});
    expect_usage_failure(r);
    EXPECT_THAT(r.err, HasSubstr("clear text"));
  }
}

TEST_F(FlyTransport, TokenEchoedEscapedInASuccessAnswerIsNotPrinted) {
  plain_.add_machine("meters", {{"id", "m1"}, {"name", "mediator-1"}, {"state", "started"}});
  std::string escaped;
  for (const unsigned char c : std::string(kToken)) {
    char unit[8];
    std::snprintf(unit, sizeof unit, "\\u%04x", c);
    escaped += unit;
  }
  plain_.inject({.method = "DELETE",
                 .status = 200,
                 .body = R"({"ok":true,"note":"done for )" + escaped + R"("})"});
  const CliResult r = fly(plain_.base_url(), {"destroy", "m1", "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("[redacted]"));
  EXPECT_THAT(r.out + r.err, Not(HasSubstr(kToken)));
}

class FlyOverTls : public FlyTransport {
 protected:
  FakePlatformOptions tls_options(const std::string& cert, const std::string& key) {
    return {.token = kToken, .apps = {"meters"}, .tls_cert_file = cert, .tls_key_file = key};
  }

  quelmar::testing::TestCertificates certificates_;
  FakePlatform tls_{tls_options(certificates_.server_cert(), certificates_.server_key())};
};

TEST_F(FlyOverTls, ListsWithTheRightCaFile) {
  const CliResult r = fly(tls_.base_url(), {"list", "--json", "--ca-file", certificates_.ca()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[]\n");
  EXPECT_EQ(tls_.requests().size(), 1u);
}

TEST_F(FlyOverTls, AnUntrustedServerIsATlsErrorWithoutARequest) {
  FakePlatform foreign{tls_options(certificates_.foreign_cert(), certificates_.foreign_key())};
  const struct {
    std::string url;
    std::string ca;
  } cases[] = {{tls_.base_url(), certificates_.other_ca()},
               {foreign.base_url(), certificates_.ca()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + " " + c.ca);
    const CliResult r = fly(c.url, {"--ca-file", c.ca, "stop", "m1"});
    expect_usage_failure(r);
    EXPECT_THAT(r.err, ::testing::AnyOf(HasSubstr("SSL"), HasSubstr("certificate")));
  }
  EXPECT_TRUE(tls_.requests().empty());
  EXPECT_TRUE(foreign.requests().empty());
}

}  // namespace
