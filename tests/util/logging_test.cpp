// A log line carries outside text; it must stay one inert line.
#include <gtest/gtest.h>

#include <stdexcept>

#include "quelmar/util/logging.hpp"
#include "support/log_capture.hpp"

namespace quelmar::util::logging {
namespace {

TEST(LogLineTest, MessageAndFieldValuesAreEscaped) {
  EXPECT_EQ(format_line("plain", {{"machine_id", "d00d1"}}), "plain machine_id=d00d1");
  const std::string line = format_line("name mediator-\x1b[2J\nforged line",
                                       {{"fly_app", "app\nx=1"}, {"id", "a\\b\xe2\x80\xae"}});
  EXPECT_EQ(line, "name mediator-\\x1b[2J\\x0aforged line fly_app=app\\x0ax=1 id=a\\\\b\\u{202E}");
}

TEST(LogLineTest, CapturedLinesAreTheEscapedLines) {
  auto logger = get_logger("quelmar.test.logging", __FILE__);
  CapturedLines captured(*logger);
  logger->warning("two\nlines", {{"k", "v\r"}});
  EXPECT_EQ(captured.lines(), std::vector<std::string>{"two\\x0alines k=v\\x0d"});
}

TEST(LogLevelTest, TheGlobalLevelReachesNewLoggersAndAScopeRestoresIt) {
  const Level before = current_level();
  try {
    const ScopedLogLevel quiet(Level::kError);
    EXPECT_EQ(current_level(), Level::kError);
    EXPECT_EQ(get_logger("quelmar.test.level", __FILE__)->level(), Level::kError);
    throw std::runtime_error("a test that ends early");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(current_level(), before);
  EXPECT_EQ(get_logger("quelmar.test.level", __FILE__)->level(), before);
}

}  // namespace
}  // namespace quelmar::util::logging
