#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "quelmar/util/host_port.hpp"
#include "quelmar/util/json_text.hpp"
#include "quelmar/util/lower.hpp"
#include "quelmar/util/redaction.hpp"

namespace quelmar::util {
namespace {

TEST(Lower, ChangesOnlyAsciiCapitals) {
  EXPECT_EQ(lower("MyApp.FLY.dev"), "myapp.fly.dev");
  EXPECT_EQ(lower("\xC3\x84-\xC3\xA4_Z9"), "\xC3\x84-\xC3\xA4_z9");  // UTF-8 "Ä" stays
  EXPECT_EQ(lower(""), "");
}

TEST(HostPort, BracketsOnlyIpv6Hosts) {
  EXPECT_EQ(host_port("127.0.0.1", 53), "127.0.0.1:53");
  EXPECT_EQ(host_port("::1", 5353), "[::1]:5353");
  EXPECT_EQ(host_port("fdaa:0:18::3", 44444), "[fdaa:0:18::3]:44444");
  EXPECT_EQ(host_port("localhost", 8080), "localhost:8080");
  EXPECT_EQ(bracket_ipv6("[::1]"), "[::1]");
}

TEST(DumpJson, ReplacesBadUtf8AndOptionallyEscapesNonAscii) {
  const nlohmann::json value = {{"name", "caf\xC3\xA9\xFF"}};
  EXPECT_EQ(dump_json(value), "{\"name\":\"caf\xC3\xA9\xEF\xBF\xBD\"}");
  EXPECT_EQ(dump_json(value, JsonCharset::kAscii), "{\"name\":\"caf\\u00e9\\ufffd\"}");
  EXPECT_EQ(dump_json(nlohmann::ordered_json::array({1, "\x1b"}), JsonCharset::kAscii),
            "[1,\"\\u001b\"]");
}

TEST(Redactor, HidesAFlyV1TokenItsBodyAndEachTrimmedPart) {
  Redactor redactor;
  redactor.add_token("FlyV1 fm2_first-macaroon , fm2_second-macaroon,,");
  EXPECT_EQ(redactor.redact("echo FlyV1 fm2_first-macaroon , fm2_second-macaroon,, end"),
            "echo [redacted] end");
  EXPECT_EQ(redactor.redact("a=fm2_first-macaroon b=fm2_second-macaroon"),
            "a=[redacted] b=[redacted]");
  EXPECT_EQ(redactor.redact("body: fm2_first-macaroon , fm2_second-macaroon,,"),
            "body: [redacted]");
}

TEST(Redactor, AShortTokenIsHiddenOnlyAsAWholeWord) {
  Redactor redactor;
  redactor.add_token("x");
  EXPECT_EQ(redactor.redact("The following argument was not expected: x"),
            "The following argument was not expected: [redacted]");
  EXPECT_EQ(redactor.redact("x-ray x_1 1x box"), "x-ray x_1 1x box");
  EXPECT_EQ(redactor.redact("(x),x;'x'"), "([redacted]),[redacted];'[redacted]'");

  Redactor seven;
  seven.add_token("abc-123");
  EXPECT_EQ(seven.redact("abc-1234 abc-123 _abc-123"), "abc-1234 [redacted] _abc-123");
}

TEST(Redactor, ALongTokenIsHiddenEverywhereAndOnce) {
  Redactor redactor;
  redactor.add_token("redacted");  // the marker's own text must not loop or nest
  redactor.add_token("s3cret-token");
  EXPECT_EQ(redactor.redact("xs3cret-tokeny redacted"), "x[redacted]y [redacted]");
  // Overlapping occurrences become one marker and leave no piece behind.
  Redactor overlapping;
  overlapping.add_token("aaaabbbb");
  overlapping.add_token("bbbbcccc");
  EXPECT_EQ(overlapping.redact("-aaaabbbbcccc-"), "-[redacted]-");
}

TEST(Redactor, WithoutTokensOrWithBlankOnesTextIsUnchanged) {
  Redactor redactor;
  EXPECT_EQ(redactor.redact("nothing to hide"), "nothing to hide");
  redactor.add_token("");
  redactor.add_token("   ");
  EXPECT_EQ(redactor.redact("  a  "), "  a  ");
}

}  // namespace
}  // namespace quelmar::util
