#include "quelmar/util/ip_address.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quelmar::util {
namespace {

TEST(IsIpAddress, AcceptsIpv4AndIpv6AsInetPtonReadsThem) {
  for (const char* text : {"10.0.0.1", "0.0.0.0", "255.255.255.255", "::", "::1", "fdaa:0:18::3",
                           "2001:db8:0:0:0:0:0:1", "::ffff:192.0.2.1",
                           "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"}) {
    EXPECT_TRUE(is_ip_address(text)) << text;
  }
}

TEST(IsIpAddress, RefusesNamesPartsAndDecorations) {
  for (const char* text : {"", "localhost", "10.0.0", "10.0.0.256", "10.0.0.1.", "010.0.0.1",
                           "0x0a.0.0.1", " 10.0.0.1", "10.0.0.1 ", "[::1]", "fe80::1%eth0", "::g",
                           "1:2:3:4:5:6:7:8:9", "10.0.0.1:80"}) {
    EXPECT_FALSE(is_ip_address(text)) << text;
  }
  // What follows a NUL still counts.
  EXPECT_FALSE(is_ip_address(std::string("10.0.0.1\0garbage", 16)));
  EXPECT_FALSE(is_ip_address(std::string(1000, '1')));
}

}  // namespace
}  // namespace quelmar::util
