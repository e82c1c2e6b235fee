// Secrets registered for as long as they are held, and hidden where text leaves the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "quelmar/util/logging.hpp"
#include "quelmar/util/redaction.hpp"
#include "quelmar/util/secrets.hpp"
#include "quelmar/util/sha256.hpp"

namespace quelmar::util {
namespace {

TEST(Secrets, AreHiddenWhileAScopeHoldsThemAndNoLonger) {
  EXPECT_EQ(redact_secrets("tok-abcdefgh"), "tok-abcdefgh");
  {
    SecretScope first("tok-abcdefgh");
    {
      SecretScope again("tok-abcdefgh");
      SecretScope moved(std::move(again));
      EXPECT_EQ(redact_secrets("x tok-abcdefgh y"), "x [redacted] y");
    }
    EXPECT_EQ(redact_secrets("x tok-abcdefgh y"), "x [redacted] y") << "the first scope holds it";
    // Every log line is redacted, however the message was put together.
    EXPECT_EQ(logging::format_line("answer tok-abcdefgh", {{"body", "{\"t\":\"tok-abcdefgh\"}"}}),
              "answer [redacted] body={\"t\":\"[redacted]\"}");
  }
  EXPECT_EQ(redact_secrets("x tok-abcdefgh y"), "x tok-abcdefgh y");
}

TEST(Redactor, APrefixEndsWhereNoOccurrenceIsCutInTwo) {
  Redactor redactor;
  redactor.add_token("s3cret-token");
  const std::string text = "aaa s3cret-token bbb";
  std::string out;
  // `until` falls inside the secret: the prefix runs on to its end.
  EXPECT_EQ(redactor.redact_prefix(text, 0, 8, out), 16U);
  EXPECT_EQ(out, "aaa [redacted]");
  // The rest, with one character of context already written.
  out.clear();
  EXPECT_EQ(redactor.redact_prefix(text, 16, text.size(), out), text.size());
  EXPECT_EQ(out, " bbb");

  Redactor short_one;
  short_one.add_token("demo");
  out.clear();
  // The context before `from` decides the word boundary: "xdemo" is no whole word.
  short_one.redact_prefix("xdemo demo", 1, 10, out);
  EXPECT_EQ(out, "demo [redacted]");
  EXPECT_EQ(short_one.longest_secret(), 4U);
}

TEST(Sha256, IsTheStandardDigestInHex) {
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
}  // namespace quelmar::util
