#include "quelmar/util/json_dom_builder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using nlohmann::json;
using quelmar::util::JsonDomBuilder;
using ::testing::ElementsAre;

// Drops members named "skip", streams arrays named "items", stops at a member named "stop".
class Reader final : public JsonDomBuilder {
 public:
  using JsonDomBuilder::JsonDomBuilder;
  std::vector<json> taken;

 protected:
  Route route(std::size_t /*depth*/, const std::string* key, json::value_t /*kind*/) override {
    if (key == nullptr) return Route::kKeep;
    if (*key == "skip") return Route::kDrop;
    if (*key == "stop") return Route::kStop;
    return *key == "items" ? Route::kStream : Route::kKeep;
  }
  void take(json&& element) override { taken.push_back(std::move(element)); }
};

bool read(Reader& reader, const std::string& text) {
  return json::sax_parse(text.begin(), text.end(), &reader);
}

TEST(JsonDomBuilder, BuildsWhatTheParserWouldWhenEverythingIsKept) {
  for (const std::string text :
       {R"({"a":[1,-2,1.5,"x",true,null,{},[]],"b":{"c":{"d":[[18446744073709551615]]}}})",
        R"([{"a":1},{"a":2,"a":3}])", R"("text")", "7", "[]"}) {
    Reader reader;
    ASSERT_TRUE(read(reader, text)) << text;
    EXPECT_EQ(reader.document(), json::parse(text)) << text;
  }
}

TEST(JsonDomBuilder, DropsAValueUnbuiltWithoutItsKeysLeakingIntoItsSiblings) {
  Reader reader;
  ASSERT_TRUE(read(reader, R"({"skip":{"k":[1,{"x":2}],"y":3},"b":[{"skip":1,"c":2}],"z":4})"));
  EXPECT_EQ(reader.document(), json::parse(R"({"b":[{"c":2}],"z":4})"));
}

TEST(JsonDomBuilder, HandsOverEachElementOfAStreamedArrayInOrder) {
  Reader reader;
  ASSERT_TRUE(read(reader, R"({"a":1,"items":[1,{"b":[2]},[3],{"items":[4]}],"c":5})"));
  EXPECT_EQ(reader.document(), json::parse(R"({"a":1,"c":5})")) << "the array is not kept";
  EXPECT_THAT(reader.taken, ElementsAre(json(1), json::parse(R"({"b":[2]})"), json::parse("[3]"),
                                        json::parse(R"({"items":[4]})")))
      << "an array inside an element is no stream of its own";
}

TEST(JsonDomBuilder, NestingBeyondTheBoundOrARefusalFailsTheParse) {
  Reader shallow(3);
  EXPECT_TRUE(read(shallow, "[[[1]]]"));
  EXPECT_FALSE(shallow.too_deep());

  Reader deep(3);
  EXPECT_FALSE(read(deep, R"({"a":{"b":[[]]}})"));
  EXPECT_TRUE(deep.too_deep());

  Reader unbounded;
  EXPECT_TRUE(read(unbounded, std::string(10000, '[') + std::string(10000, ']')));

  Reader refusing;
  EXPECT_FALSE(read(refusing, R"({"a":1,"stop":2})"));
  EXPECT_FALSE(refusing.too_deep());
}

}  // namespace
