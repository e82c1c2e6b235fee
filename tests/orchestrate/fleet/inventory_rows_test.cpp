// Row checks: each value, and meter ids and serials unique across the rows.
#include "orchestrate/fleet/inventory_rows.hpp"
#include "orchestrate/fleet/inventory_problems_shown.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quelmar::orchestrate::fleet::inventory {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class InventoryRows : public ::testing::Test {
 protected:
  // meter_id,serial,ip_address,port,cert_auth
  InventoryRows() {
    header_.width = 5;
    for (std::size_t k = 0; k < 5; ++k) header_.positions[k] = k;
  }

  bool check(std::size_t line, std::vector<std::string_view> fields) {
    return checker_.check({.line = line, .fields = std::move(fields)});
  }

  // Every problem, once all rows are checked.
  std::vector<std::string> problems() {
    checker_.report_repeats();
    return lines_and_messages(reported(problems_));
  }

  Header header_;
  ProblemList problems_{MAX_INVENTORY_PROBLEMS};
  RowChecker checker_{header_, problems_};
};

TEST_F(InventoryRows, AGoodRowBecomesAMeter) {
  const Record record{.line = 2, .fields = {"m-1", "SN_1-a", "fd00::1", "7000", "true"}};
  ASSERT_TRUE(checker_.check(record));
  const Meter meter = meter_of(record, header_);
  EXPECT_EQ(meter.meter_id, "m-1");
  EXPECT_EQ(meter.serial, "SN_1-a");
  EXPECT_EQ(meter.ip_address, "fd00::1");
  EXPECT_EQ(meter.port, 7000);
  EXPECT_TRUE(meter.cert_auth);
  EXPECT_EQ(meter.line, 2U);
  EXPECT_THAT(problems(), IsEmpty());

  // Optional columns that are absent take their defaults.
  Header narrow{.width = 3};
  narrow.positions[0] = 2;
  narrow.positions[1] = 0;
  narrow.positions[2] = 1;
  const Meter defaults = meter_of({.line = 9, .fields = {"SN9", "10.0.0.9", "m-9"}}, narrow);
  EXPECT_EQ(defaults.meter_id, "m-9");
  EXPECT_EQ(defaults.port, DEFAULT_METER_PORT);
  EXPECT_FALSE(defaults.cert_auth);
}

TEST_F(InventoryRows, ReportsEachBadValueOfARowInColumnOrder) {
  EXPECT_FALSE(check(4, {"m-\xc3", "", "10.0.0.1 ", "65536", "True"}));
  EXPECT_FALSE(check(5, {"m\x7f", "S/5", "[::1]", "0x50", ""}));
  EXPECT_FALSE(check(6, {"m-6", "SN6"}));
  const std::string too_long(55, 's');
  EXPECT_FALSE(check(7, {"m-7", too_long, "10.0.0.7", "1", "false"}));
  EXPECT_THAT(
      problems(),
      ElementsAre(
          "4: value of meter_id is not valid UTF-8", "4: missing value for serial",
          "4: bad IP address '10.0.0.1 '", "4: bad port '65536' (a number in 1..65535)",
          "4: bad cert_auth 'True' (true or false)",
          "5: value of meter_id holds a control character",
          "5: serial 'S/5' cannot form a machine name (letters, digits, '-' and '_', at most 54 "
          "characters)",
          "5: bad IP address '[::1]'", "5: bad port '0x50' (a number in 1..65535)",
          "6: expected 5 fields, found 2",
          "7: serial '" + too_long +
              "' cannot form a machine name (letters, digits, '-' and '_', at most 54 "
              "characters)"));
}

TEST_F(InventoryRows, ARepeatNamesTheLineOfTheFirstEvenWhenThatRowWasBad) {
  EXPECT_TRUE(check(2, {"m-1", "S1", "10.0.0.1", "1", "false"}));
  EXPECT_FALSE(check(3, {"m-2", "S2", "bad", "1", "false"}));
  // Found once every row is checked, but listed with their column's other problems.
  EXPECT_TRUE(check(4, {"m-1", "S2", "10.0.0.4", "1", "false"}));
  EXPECT_FALSE(check(5, {"m-2", "S5", "10.0.0.5", "1", "no"}));
  EXPECT_TRUE(check(6, {"M-1", "s1", "10.0.0.6", "1", "false"}));  // case matters
  EXPECT_TRUE(check(7, {"m-1", "S1", "10.0.0.7", "1", "false"}));
  EXPECT_THAT(problems(), ElementsAre("3: bad IP address 'bad'",
                                      "4: duplicate meter_id 'm-1' (first on line 2)",
                                      "4: duplicate serial 'S2' (first on line 3)",
                                      "5: duplicate meter_id 'm-2' (first on line 3)",
                                      "5: bad cert_auth 'no' (true or false)",
                                      "7: duplicate meter_id 'm-1' (first on line 2)",
                                      "7: duplicate serial 'S1' (first on line 2)"));
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet::inventory
