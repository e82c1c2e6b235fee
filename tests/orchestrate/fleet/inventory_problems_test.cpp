// The problem list: the first ones by line are listed, all are counted.
#include "orchestrate/fleet/inventory_problems.hpp"
#include "orchestrate/fleet/inventory_problems_shown.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quelmar::orchestrate::fleet::inventory {
namespace {

using ::testing::ElementsAre;

TEST(InventoryProblems, ListsTheFirstByLineInTheOrderFoundAndCountsTheRest) {
  ProblemList problems(3);
  EXPECT_TRUE(problems.empty());
  problems.add(5, "e");
  problems.add(2, "b1");
  problems.add(9, "i");
  problems.add(2, "b2");  // pushes out line 9
  problems.add(5, "e2");  // after the listed one of line 5: only counted
  problems.add(1, "a");   // pushes out line 5
  EXPECT_FALSE(problems.empty());
  const Inventory inventory = reported(problems);
  EXPECT_THAT(lines_and_messages(inventory), ElementsAre("1: a", "2: b1", "2: b2"));
  EXPECT_EQ(inventory.more_problems, 3U);
}

TEST(InventoryProblems, ARankPlacesAProblemAmongThoseOfItsLine) {
  ProblemList problems(3);
  problems.add(1, "header");
  problems.add(2, "third column", 3);
  problems.add(2, "second column", 2);
  problems.add(3, "later line");
  problems.add(2, "first column, found last", 1);  // pushes out line 3
  const Inventory inventory = reported(problems);
  EXPECT_THAT(lines_and_messages(inventory),
              ElementsAre("1: header", "2: first column, found last", "2: second column"));
  EXPECT_EQ(inventory.more_problems, 2U);
}

TEST(InventoryProblems, MakesOnlyTheMessagesItLists) {
  ProblemList problems(2);
  int made = 0;
  for (std::size_t line = 1; line <= 1000; ++line) {
    problems.add(line, [&] { return "problem " + std::to_string(++made); });
  }
  const Inventory inventory = reported(problems);
  EXPECT_THAT(lines_and_messages(inventory), ElementsAre("1: problem 1", "2: problem 2"));
  EXPECT_EQ(inventory.more_problems, 998U);
  EXPECT_EQ(made, 2);
}

TEST(InventoryProblems, ShowsValuesQuotedAndCutsLongOnesBetweenCharacters) {
  EXPECT_EQ(shown("m-1"), "'m-1'");
  EXPECT_EQ(shown(std::string(63, 'a') + "\xc3\xa9" + "tail"), "'" + std::string(63, 'a') + "...'");
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet::inventory
