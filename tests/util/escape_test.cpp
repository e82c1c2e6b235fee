#include "quelmar/util/escape.hpp"

#include <string>

#include <gtest/gtest.h>

namespace {

using quelmar::util::escape_for_terminal;
using quelmar::util::escape_invalid_utf8;
using quelmar::util::unescape_invalid_utf8;

TEST(EscapeForTerminal, LeavesPrintableTextAlone) {
  EXPECT_EQ(escape_for_terminal("mediator-SN1 ünïcödé 計器 ✓"), "mediator-SN1 ünïcödé 計器 ✓");
}

TEST(EscapeForTerminal, MakesEveryControlVisible) {
  EXPECT_EQ(escape_for_terminal("a\nb\rc\td\x1b[2Je\x7f"), "a\\x0ab\\x0dc\\x09d\\x1b[2Je\\x7f");
  EXPECT_EQ(escape_for_terminal(std::string("nul\0end", 7)), "nul\\x00end");
  EXPECT_EQ(escape_for_terminal("csi\xc2\x9b"
                                "31m"),
            "csi\\u{009B}31m");
  EXPECT_EQ(escape_for_terminal("\xe2\x80\xae"
                                "txt.exe"),
            "\\u{202E}txt.exe");
  EXPECT_EQ(escape_for_terminal("\xe2\x81\xa6x\xe2\x81\xa9"), "\\u{2066}x\\u{2069}");
  EXPECT_EQ(escape_for_terminal("line\xe2\x80\xa8para\xe2\x80\xa9"), "line\\u{2028}para\\u{2029}");
}

TEST(EscapeForTerminal, EscapesInvalidUtf8ByteByByte) {
  EXPECT_EQ(escape_for_terminal("\xff\xfe\xc3"), "\\xff\\xfe\\xc3");
  EXPECT_EQ(escape_for_terminal("\xc0\xaf"), "\\xc0\\xaf");           // overlong '/'
  EXPECT_EQ(escape_for_terminal("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // a surrogate
}

TEST(EscapeForTerminal, NeverMakesTwoNamesAlike) {
  // A literal backslash sequence and the byte it spells must differ.
  EXPECT_NE(escape_for_terminal("a\\x0ab"), escape_for_terminal("a\nb"));
  EXPECT_EQ(escape_for_terminal("a\\x0ab"), "a\\\\x0ab");
  EXPECT_NE(escape_for_terminal("\\u{202E}"), escape_for_terminal("\xe2\x80\xae"));
}

TEST(EscapeInvalidUtf8, KeepsValidTextAndControlsButTellsBytesApart) {
  EXPECT_EQ(escape_invalid_utf8("a\nb ü"), "a\nb ü");
  EXPECT_EQ(escape_invalid_utf8("\xff"), "\\xff");
  EXPECT_NE(escape_invalid_utf8("\xff"), escape_invalid_utf8("\xfe"));
  EXPECT_NE(escape_invalid_utf8("\xff"), escape_invalid_utf8("\\xff"));
}

TEST(EscapeInvalidUtf8, RoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  all += "\\x41 \\\\ \xe2\x82\xac \xf0\x9f";
  EXPECT_EQ(unescape_invalid_utf8(escape_invalid_utf8(all)), all);
}

}  // namespace
