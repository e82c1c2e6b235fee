// An inventory's problems as the operator reads them.
#include "quelmar/orchestrate/fleet/inventory_report.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quelmar::orchestrate::fleet {
namespace {

using ::testing::ElementsAre;

TEST(InventoryReport, EachProblemByLineThenHowManyMoreWithTheFileTextEscaped) {
  Inventory inventory;
  inventory.problems = {{.line = 2, .message = "bad serial 'a\x1b[2J'"},
                        {.line = 7, .message = "x"}};
  inventory.more_problems = 1;
  EXPECT_THAT(inventory_problem_lines(inventory, "in\nv.csv"),
              ElementsAre("in\\x0av.csv:2: bad serial 'a\\x1b[2J'", "in\\x0av.csv:7: x",
                          "in\\x0av.csv: 1 more problem"));
  inventory.more_problems = 2;
  EXPECT_EQ(inventory_problem_lines(inventory, "(standard input)").back(),
            "(standard input): 2 more problems");
  EXPECT_TRUE(inventory_problem_lines(Inventory{}, "inv.csv").empty());
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
