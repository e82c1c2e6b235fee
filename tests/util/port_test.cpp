#include "quelmar/util/port.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace quelmar::util {
namespace {

TEST(ParsePort, AcceptsDecimalPortsFromOneTo65535) {
  EXPECT_EQ(parse_port("1"), 1);
  EXPECT_EQ(parse_port("80"), 80);
  EXPECT_EQ(parse_port("050051"), 50051);  // a leading zero is still decimal
  EXPECT_EQ(parse_port("65535"), 65535);
}

TEST(ParsePort, RefusesEverythingElse) {
  for (const char* text : {"", "0", "00000", "65536", "99999", "0x50", "+80", "-80", "80.5", "1e3",
                           " 80", "80 ", "8 0", "80a", "٣"}) {
    EXPECT_EQ(parse_port(text), std::nullopt) << text;
  }
  EXPECT_EQ(parse_port(std::string("80\0", 3)), std::nullopt);
  // Long digit strings neither overflow nor wrap around to a valid port.
  EXPECT_EQ(parse_port("4294967376"), std::nullopt);  // 2^32 + 80
  EXPECT_EQ(parse_port(std::string(1000, '9')), std::nullopt);
  EXPECT_EQ(parse_port("18446744073709551696"), std::nullopt);  // 2^64 + 80
}

}  // namespace
}  // namespace quelmar::util
