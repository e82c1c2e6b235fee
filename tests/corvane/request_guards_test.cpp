// What the client refuses to send (bad names, URLs and tokens) and the answers it will not parse.
#include <gmock/gmock.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "corvane/api_fixture.hpp"
#include "support/test_certificates.hpp"

namespace corvane::api::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// ---- names that would address something else ---------------------------------

TEST_F(ApiTest, DotSegmentsAndControlCharactersAreRefusedBeforeSending) {
  const std::string id = seed_machine("1857156b526dd8", "started");
  const std::vector<std::string> bad = {"",      ".",  "..",   "../x",      "a/..",
                                        "..\\b", "./", "a\nb", "tab\there", "del\x7f"};
  for (const std::string& name : bad) {
    SCOPED_TRACE(::testing::PrintToString(name));
    const std::vector<std::function<json()>> calls = {
        [&] { return client.list(name, "iad"); },
        [&] { return client.create(name, "img:1", {"run"}, {}); },
        [&] { return client.get(name, id); },
        [&] { return client.start(kApp, name); },
        [&] { return client.stop(kApp, name); },
        [&] { return client.get(kApp, name); },
        [&] { return client.wait(kApp, name, "", "started"); },
        [&] { return client.destroy(kApp, name, true, "iad"); },
        [&] { return client.destroy(name, id, true, "iad"); },
    };
    for (const auto& call : calls) EXPECT_THROW(call(), std::invalid_argument);
  }
  EXPECT_TRUE(fake.requests().empty());
  EXPECT_TRUE(fake.machine(kApp, id).has_value());
}

TEST_F(ApiTest, OtherCharactersArePercentEncodedIntoOneSegment) {
  EXPECT_EQ(client.get(kApp, "..x/y z?%"), (json{{"error", "machine not found"}}));
  EXPECT_EQ(client.get(kApp, "..."), (json{{"error", "machine not found"}}));
  const auto requests = fake.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/v1/apps/meters-eu/machines/..x/y z?%");
  EXPECT_EQ(requests[1].path, "/v1/apps/meters-eu/machines/...");
}

TEST_F(ApiTest, ThePathIsSentAsWrittenNeverNormalised) {
  ClientOptions options = options_for(fake);
  options.base_url += "/x/..";
  API as_is(kToken, options);
  EXPECT_TRUE(as_is.list(kApp, "").contains("error"));
  EXPECT_EQ(last_request().path, "/x/../v1/apps/meters-eu/machines");
}

// ---- the token in answers -----------------------------------------------------

TEST_F(ApiTest, AFlyV1TokenTravelsWholeAndAnAnswerEchoingItIsKeptAsData) {
  const std::string token = "FlyV1 fm2_firstmacaroon, fm2_secondmacaroon";
  FakePlatform flyv1{{.token = token, .apps = {kApp}}};
  API flyv1_client(token, options_for(flyv1));
  flyv1.inject({.status = 200, .body = R"([{"a":)" + json_escaped("fm2_secondmacaroon") + "}]"});

  EXPECT_EQ(flyv1_client.list(kApp, ""), json::parse(R"([{"a":"fm2_secondmacaroon"}])"));
  EXPECT_EQ(flyv1.requests().back().header("authorization"), token);
}

// ---- answers too deep to handle -----------------------------------------------

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST_F(ApiTest, AnswersNestedTooDeeplyAreAFailureMap) {
  const json too_deep{{"error", "answer nested too deeply"}};
  fake.inject({.method = "GET", .status = 200, .body = nested_arrays(100'000)});
  fake.inject({.method = "GET", .status = 200, .body = std::string(100'000, '[')});
  fake.inject(
      {.method = "GET", .status = 404, .body = R"({"error":)" + nested_arrays(100'000) + "}"});
  fake.inject({.method = "GET", .status = 200, .body = nested_arrays(129)});
  fake.inject({.method = "GET", .status = 200, .body = nested_arrays(128)});

  for (int i = 0; i < 4; ++i) EXPECT_EQ(client.get(kApp, "1857156b526dd8"), too_deep) << i;
  const json deepest = client.get(kApp, "1857156b526dd8");
  EXPECT_EQ(deepest.dump(), nested_arrays(128));
}

// ---- where the token may travel -------------------------------------------------

TEST(ApiBaseUrl, PlainHttpOnlyForLoopback) {
  for (const char* url : {"http://127.0.0.1:1", "http://127.3.2.1:1/", "http://[::1]:1",
                          "http://localhost:1", "HTTP://LocalHost:1", "https://api.example.com"}) {
    EXPECT_NO_THROW(API("t", {.base_url = url})) << url;
  }
  for (const char* url : {"http://api.example.com", "http://10.0.0.1:8080", "http://[fe80::1]:80",
                          "http://128.0.0.1", "http://localhost.example.com"}) {
    try {
      API refused("t", {.base_url = url});
      ADD_FAILURE() << "accepted " << url;
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr("clear text")) << url;
    }
  }
  for (const char* url : {"ftp://127.0.0.1", "127.0.0.1:8080", "api.example.com", "http//x"}) {
    EXPECT_THROW(API("t", {.base_url = url}), std::invalid_argument) << url;
  }
}

// ---- HTTPS ------------------------------------------------------------------------

class ApiOverTls : public ::testing::Test {
 protected:
  ClientOptions options_for(const FakePlatform& platform, std::optional<std::string> ca_file) {
    return {.base_url = platform.base_url(),
            .ca_file = std::move(ca_file),
            .connect_timeout = 2s,
            .request_timeout = 5s,
            .max_retries = 0};
  }

  quelmar::testing::TestCertificates certificates;
  FakePlatform fake{{.token = kToken,
                     .apps = {kApp},
                     .tls_cert_file = certificates.server_cert(),
                     .tls_key_file = certificates.server_key()}};
};

TEST_F(ApiOverTls, SucceedsWithTheRightCaFile) {
  ASSERT_THAT(fake.base_url(), ::testing::StartsWith("https://127.0.0.1:"));
  API client(kToken, options_for(fake, certificates.ca()));
  EXPECT_EQ(client.list(kApp, ""), json::array());
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0].header("authorization"), std::string("Bearer ") + kToken);

  ClientOptions by_name = options_for(fake, certificates.ca());
  by_name.base_url = "https://localhost:" + std::to_string(fake.port());
  API named(kToken, by_name);
  EXPECT_EQ(named.list(kApp, ""), json::array());
}

std::string transport_error(API& client) {
  try {
    client.list(kApp, "");
  } catch (const Error& e) {
    return e.what();
  }
  ADD_FAILURE() << "the request succeeded";
  return {};
}

TEST_F(ApiOverTls, AnUntrustedServerGetsNoRequest) {
  API wrong_ca(kToken, options_for(fake, certificates.other_ca()));
  EXPECT_THAT(transport_error(wrong_ca), HasSubstr("certificate"));
  API system_store(kToken, options_for(fake, std::nullopt));
  EXPECT_THAT(transport_error(system_store), HasSubstr("certificate"));
  API missing_file(kToken, options_for(fake, certificates.ca() + ".missing"));
  EXPECT_THAT(transport_error(missing_file), Not(HasSubstr(kToken)));
  EXPECT_TRUE(fake.requests().empty());
}

TEST_F(ApiOverTls, AHostNameMismatchGetsNoRequest) {
  FakePlatform foreign{{.token = kToken,
                        .apps = {kApp},
                        .tls_cert_file = certificates.foreign_cert(),
                        .tls_key_file = certificates.foreign_key()}};
  API client(kToken, options_for(foreign, certificates.ca()));
  const std::string error = transport_error(client);
  EXPECT_THAT(error, HasSubstr("127.0.0.1"));
  EXPECT_THAT(error, Not(HasSubstr(kToken)));
  EXPECT_TRUE(foreign.requests().empty());
}

}  // namespace
}  // namespace corvane::api::testing
