// The header row: columns in any order, unknown, repeated and missing ones reported.
#include "orchestrate/fleet/inventory_header.hpp"
#include "orchestrate/fleet/inventory_problems_shown.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quelmar::orchestrate::fleet::inventory {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(InventoryHeader, MapsKnownColumnsInAnyOrder) {
  ProblemList problems(MAX_INVENTORY_PROBLEMS);
  const Header header =
      map_header({.line = 3, .fields = {"port", "ip_address", "meter_id", "serial"}}, problems);
  EXPECT_THAT(lines_and_messages(reported(problems)), IsEmpty());
  EXPECT_EQ(header.line, 3U);
  EXPECT_EQ(header.width, 4U);
  EXPECT_EQ(header.position(Column::kMeterId), 2U);
  EXPECT_EQ(header.position(Column::kSerial), 3U);
  EXPECT_EQ(header.position(Column::kIpAddress), 1U);
  EXPECT_EQ(header.position(Column::kPort), 0U);
  EXPECT_EQ(header.position(Column::kCertAuth), std::nullopt);
}

TEST(InventoryHeader, ReportsUnknownRepeatedAndMissingColumns) {
  ProblemList problems(MAX_INVENTORY_PROBLEMS);
  // Names are compared exactly: no trimming, no case folding.
  const Header header = map_header(
      {.line = 1, .fields = {"serial", "Meter_ID", "serial", " ip_address", ""}}, problems);
  EXPECT_EQ(header.position(Column::kSerial), 0U);  // the first one counts
  EXPECT_THAT(lines_and_messages(reported(problems)),
              ElementsAre("1: unknown column 'Meter_ID'", "1: column 'serial' appears twice",
                          "1: unknown column ' ip_address'", "1: unknown column ''",
                          "1: missing column 'meter_id'", "1: missing column 'ip_address'"));
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet::inventory
