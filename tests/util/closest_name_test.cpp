#include "quelmar/util/closest_name.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quelmar::util {
namespace {

TEST(ClosestName, SuggestsOnlyNamesWithinAFewEdits) {
  EXPECT_EQ(edit_distance("lsit", "list"), 1U);  // a swap is one edit
  EXPECT_EQ(edit_distance("", "list"), 4U);
  EXPECT_EQ(edit_distance("kitten", "sitting"), 3U);
  const std::vector<std::string> names{"list",    "create", "start", "stop",     "destroy",
                                       "address", "plan",   "apply", "addresses"};
  EXPECT_EQ(closest_name("lsit", names), "list");
  EXPECT_EQ(closest_name("ls", names), "list");
  EXPECT_EQ(closest_name("adress", names), "address");
  EXPECT_EQ(closest_name("adresses", names), "addresses");
  EXPECT_EQ(closest_name("sto", names), "stop");
  EXPECT_EQ(closest_name("x", names), std::nullopt);
  EXPECT_EQ(closest_name("delete", names), std::nullopt);
  EXPECT_EQ(closest_name("foo", {"fly"}), std::nullopt);
  EXPECT_EQ(closest_name(std::string(100000, 'l'), names), std::nullopt);
}

}  // namespace
}  // namespace quelmar::util
