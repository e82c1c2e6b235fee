#include "quelmar/util/bounded_json.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using nlohmann::json;
using quelmar::util::parse_json_bounded;

std::string arrays(int depth, const std::string& inside) {
  return std::string(depth, '[') + inside + std::string(depth, ']');
}

std::string objects(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"a\":";
  return text + "1" + std::string(depth, '}');
}

// Where the bound lies: the callers' error texts promise it, and a text cut at the bound must
// never come back partly built.
TEST(BoundedJson, RefusesAnythingInsideMaxDepthContainers) {
  EXPECT_FALSE(parse_json_bounded(arrays(7, "1"), 8).too_deep);
  EXPECT_FALSE(parse_json_bounded(arrays(8, ""), 8).too_deep) << "an empty innermost array";
  EXPECT_FALSE(parse_json_bounded(objects(7), 8).too_deep);
  EXPECT_EQ(parse_json_bounded(objects(7), 8).value, json::parse(objects(7)));
  for (const std::string& deep : {arrays(8, "1"), objects(8), arrays(8, "[]"),
                                  "[1, " + arrays(8, "2") + "]", std::string(100000, '[')}) {
    const auto parsed = parse_json_bounded(deep, 8);
    EXPECT_TRUE(parsed.too_deep) << deep.substr(0, 40);
    EXPECT_TRUE(parsed.value.is_discarded()) << deep.substr(0, 40);
  }
}

TEST(BoundedJson, MalformedTextIsDiscardedWithoutBeingTooDeep) {
  for (const std::string text : {"", "{", "[1,]", "{\"a\":1}x", "nul"}) {
    const auto parsed = parse_json_bounded(text, 128);
    EXPECT_TRUE(parsed.value.is_discarded()) << text;
    EXPECT_FALSE(parsed.too_deep) << text;
  }
  EXPECT_EQ(parse_json_bounded(" {\"a\": [1, \"x\"]} ", 128).value, json({{"a", {1, "x"}}}));
}

}  // namespace
