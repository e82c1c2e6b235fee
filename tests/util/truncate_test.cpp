#include "quelmar/util/truncate.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quelmar::util {
namespace {

TEST(Truncated, KeepsShortTextAndCutsLongTextBetweenCharacters) {
  EXPECT_EQ(truncated("", 0), "");
  EXPECT_EQ(truncated("abc", 3), "abc");
  EXPECT_EQ(truncated("abcd", 3), "abc...");
  EXPECT_EQ(truncated("abc", 0), "...");
  // "€" is three bytes: it is kept whole or not at all.
  EXPECT_EQ(truncated("ab\xe2\x82\xac", 4), "ab...");
  EXPECT_EQ(truncated("ab\xe2\x82\xac"
                      "c",
                      5),
            "ab\xe2\x82\xac...");
  EXPECT_EQ(truncated("\xf0\x9f\x98\x80\xf0\x9f\x98\x80", 7), "\xf0\x9f\x98\x80...");
  // Bytes that are not UTF-8 are characters of their own.
  EXPECT_EQ(truncated("\xff\xfe\xfd\xfc", 2), "\xff\xfe...");
  EXPECT_EQ(truncated("a\xe2\x82", 2), "a\xe2...");
}

}  // namespace
}  // namespace quelmar::util
