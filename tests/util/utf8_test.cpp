#include "quelmar/util/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quelmar::util {
namespace {

TEST(DecodeCodePoint, ReadsTheFirstSequenceOfEachLength) {
  struct Case {
    std::string text;
    char32_t value;
    std::size_t length;
  };
  for (const Case& c : {Case{"A rest", U'A', 1}, Case{"\xc3\xa9t\xc3\xa9", 0xe9, 2},
                        Case{"\xe2\x82\xac", 0x20ac, 3}, Case{"\xf0\x9f\x98\x80!", 0x1f600, 4},
                        Case{"\xf4\x8f\xbf\xbf", 0x10ffff, 4}, Case{std::string(1, '\0'), 0, 1}}) {
    const auto decoded = decode_code_point(c.text);
    ASSERT_TRUE(decoded) << c.text;
    EXPECT_EQ(decoded->value, c.value) << c.text;
    EXPECT_EQ(decoded->length, c.length) << c.text;
  }
  EXPECT_FALSE(decode_code_point(""));
}

TEST(IsValidUtf8, RefusesOverlongsSurrogatesAndWhatLiesBeyondU10FFFF) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ASCII, ünïcödé, 計器, \xf0\x9f\x98\x80"));
  EXPECT_TRUE(is_valid_utf8("\xed\x9f\xbf"));  // U+D7FF, just below the surrogates
  for (const char* text : {
           "\x80",              // a continuation byte alone
           "\xc3",              // cut short
           "\xe2\x82",          // cut short
           "\xc3\x28",          // not a continuation byte
           "\xc0\xaf",          // overlong '/'
           "\xe0\x80\xaf",      // overlong '/'
           "\xf0\x82\x82\xac",  // overlong U+20AC
           "\xed\xa0\x80",      // U+D800
           "\xed\xbf\xbf",      // U+DFFF
           "\xf4\x90\x80\x80",  // U+110000
           "\xf8\x88\x80\x80\x80",
           "\xff",
           "ok\xfe",
       }) {
    EXPECT_FALSE(is_valid_utf8(text)) << text;
  }
}

}  // namespace
}  // namespace quelmar::util
