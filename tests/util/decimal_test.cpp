#include "quelmar/util/decimal.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quelmar::util {
namespace {

TEST(ParseDecimal, TakesDigitsWithinTheRangeOnly) {
  constexpr DecimalRange kDestroy{0, 1'000'000};
  struct Case {
    std::string text;
    std::optional<std::uint64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"7", 7},
      {"1000000", 1'000'000},  // the maximum
      {"1000001", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {"+3", std::nullopt},
      {" 4", std::nullopt},
      {"4 ", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"2.0", std::nullopt},
      {"", std::nullopt},
      {"010", std::nullopt},  // octal to some readers, decimal to others
      {"00", std::nullopt},
      {"18446744073709551615", std::nullopt},  // 2^64 - 1: in 64 bits, out of range
      {"18446744073709551616", std::nullopt},  // 2^64: must not wrap around to 0
      {"18446744073709551626", std::nullopt},  // 2^64 + 10
      {std::string(1000, '9'), std::nullopt},
      {std::string("5\0", 2), std::nullopt},
      {"\xd9\xa3", std::nullopt},  // ARABIC-INDIC DIGIT THREE
  };
  for (const auto& c : cases) EXPECT_EQ(parse_decimal(c.text, kDestroy), c.value) << c.text;
}

TEST(ParseDecimal, KeepsBothEndsOfTheRange) {
  EXPECT_EQ(parse_decimal("0", {1, 64}), std::nullopt);
  EXPECT_EQ(parse_decimal("1", {1, 64}), 1u);
  EXPECT_EQ(parse_decimal("64", {1, 64}), 64u);
  EXPECT_EQ(parse_decimal("65", {1, 64}), std::nullopt);
  EXPECT_EQ(parse_decimal("18446744073709551615", {0, UINT64_MAX}), UINT64_MAX);
  EXPECT_EQ(to_string(DecimalRange{1, 65535}), "1..65535");
}

}  // namespace
}  // namespace quelmar::util
