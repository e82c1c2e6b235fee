// An output stream that redacts: whatever pieces the text is written in, no registered secret
// reaches the real stream.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "quelmar/util/redacting_output.hpp"
#include "quelmar/util/secrets.hpp"

namespace quelmar::util {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(RedactingStream, HidesASecretWrittenInPiecesAndKeepsEverythingElse) {
  const SecretScope secret("s3cret-token-value");
  std::ostringstream sink;
  {
    RedactingStream out(sink);
    out << "key=s3cret-"
        << "token" << '-' << "value;";
    out << "\nsecond line " << 42 << '\n';
    out << "no line end s3cret-token-value";
  }
  EXPECT_EQ(sink.str(), "key=[redacted];\nsecond line 42\nno line end [redacted]");
}

TEST(RedactingStream, AVeryLongLineIsWrittenInPartsWithoutLettingASecretThrough) {
  const SecretScope secret("s3cret-token-value");
  std::ostringstream sink;
  std::string expected;
  {
    RedactingStream out(sink);
    // Far beyond the stream's part size, with secrets at every offset around the seams.
    for (int i = 0; i < 20'000; ++i) {
      const std::string filler(static_cast<std::size_t>(i % 17), 'x');
      out << filler << "s3cret-token-value";
      expected += filler + "[redacted]";
    }
    EXPECT_GT(sink.str().size(), 0U) << "parts leave before the line ends";
  }
  EXPECT_EQ(sink.str(), expected);
  EXPECT_THAT(sink.str(), Not(HasSubstr("s3cret")));
}

TEST(RedactingStream, AShortSecretIsJudgedAsAWordAcrossWrites) {
  const SecretScope secret("demo");
  std::ostringstream sink;
  {
    RedactingStream out(sink);
    out << "/de"
        << "mo x"
        << "demo"
        << "s demo" << '\n'
        << "demo";
    out.flush();
    EXPECT_EQ(sink.str(), "/[redacted] xdemos [redacted]\n[redacted]");
  }
}

}  // namespace
}  // namespace quelmar::util
