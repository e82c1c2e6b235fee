#include "quelmar/util/control_characters.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quelmar::util {
namespace {

TEST(HasControlCharacter, FindsC0ControlsAndDelAnywhere) {
  EXPECT_FALSE(has_control_character(""));
  EXPECT_FALSE(has_control_character("m-1 ~ ünï 計器"));
  // A C1 control is printable UTF-8 as far as this check goes; escaping handles it.
  EXPECT_FALSE(has_control_character("\xc2\x9b"));
  for (int byte = 0; byte < 0x20; ++byte) {
    EXPECT_TRUE(has_control_character("ab" + std::string(1, static_cast<char>(byte)) + "cd"))
        << byte;
  }
  EXPECT_TRUE(has_control_character("\x7f"));
}

}  // namespace
}  // namespace quelmar::util
