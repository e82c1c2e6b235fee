// Reading the meter inventory: every row checked, every problem reported with its line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "orchestrate/fleet/inventory_problems_shown.hpp"
#include "quelmar/orchestrate/fleet/inventory.hpp"
#include "quelmar/util/sha256.hpp"

namespace quelmar::orchestrate::fleet {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(Inventory, ReadsColumnsInAnyOrderWithDefaultsQuotesAndLineEnds) {
  const auto inventory = parse_inventory(
      "\xEF\xBB\xBFserial,cert_auth,meter_id,ip_address,port\r\n"
      "SN1,true,m-1,10.0.0.1,7000\r\n"
      "\r\n"
      "SN2,false,\"m,\"\"2\"\"\",fd00::2,50051\n");
  ASSERT_THAT(lines_and_messages(inventory), IsEmpty());
  ASSERT_EQ(inventory.meters.size(), 2U);
  EXPECT_EQ(inventory.meters[0].meter_id, "m-1");
  EXPECT_EQ(inventory.meters[0].serial, "SN1");
  EXPECT_EQ(inventory.meters[0].port, 7000);
  EXPECT_TRUE(inventory.meters[0].cert_auth);
  EXPECT_EQ(inventory.meters[0].line, 2U);
  EXPECT_EQ(inventory.meters[1].meter_id, "m,\"2\"");
  EXPECT_EQ(inventory.meters[1].ip_address, "fd00::2");
  EXPECT_EQ(inventory.meters[1].line, 4U);

  // A quoted line end is part of its field (and refused there), and later lines keep counting.
  EXPECT_THAT(lines_and_messages(parse_inventory("meter_id,serial,ip_address\n\"m\r\n1\",SN1,"
                                                 "10.0.0.1\nm-2,SN2,10.0.0.x\n")),
              ElementsAre("2: value of meter_id holds a control character",
                          "4: bad IP address '10.0.0.x'"));

  const auto defaults = parse_inventory("meter_id,serial,ip_address\nm-1,SN1,10.0.0.1");
  ASSERT_EQ(defaults.meters.size(), 1U);
  EXPECT_EQ(defaults.meters[0].port, 50051);
  EXPECT_FALSE(defaults.meters[0].cert_auth);

  // An empty cell of an optional column is its default too; a required one stays a problem.
  const auto empty_cells = parse_inventory(
      "meter_id,serial,ip_address,port,cert_auth\nm-1,SN1,10.0.0.1,,\nm-2,SN2,10.0.0.2,\"\","
      "true\n");
  ASSERT_THAT(lines_and_messages(empty_cells), IsEmpty());
  ASSERT_EQ(empty_cells.meters.size(), 2U);
  EXPECT_EQ(empty_cells.meters[0].port, 50051);
  EXPECT_FALSE(empty_cells.meters[0].cert_auth);
  EXPECT_EQ(empty_cells.meters[1].port, 50051);
  EXPECT_TRUE(empty_cells.meters[1].cert_auth);
}

TEST(Inventory, ReadsAStreamAsItReadsAFile) {
  const std::string text = "meter_id,serial,ip_address\nm-1,SN1,10.0.0.1\n";
  std::istringstream in(text);
  const auto inventory = read_inventory(in, "(standard input)");
  ASSERT_EQ(inventory.meters.size(), 1U);
  EXPECT_EQ(inventory.meters[0].meter_id, "m-1");
  EXPECT_EQ(inventory.sha256, util::sha256_hex(text));

  std::istringstream bad("x");
  bad.setstate(std::ios::badbit);
  EXPECT_THROW(read_inventory(bad, "(standard input)"), std::runtime_error);
}

TEST(Inventory, ReportsEveryProblemWithItsLineAndKeepsNoMeter) {
  const auto inventory = parse_inventory(
      "meter_id,serial,ip_address,port,cert_auth,colour\n"  // 1
      "m-1,SN1,10.0.0.1,50051,false,red\n"                  // 2: fine
      "m-1,SN2,10.0.0.2,50051,false,red\n"                  // 3: duplicate meter
      "m-3,SN1,10.0.0.3,50051,false,red\n"                  // 4: duplicate serial
      "m-4,SN 4,10.0.0.256,0,yes,red\n"                     // 5: serial, ip, port, cert_auth
      ",SN5,,65536,,red\n"                                  // 6: missing values, port
      "m-7,SN7,10.0.0.7\n"                                  // 7: too few fields
      "m-8,SN8,10.0.0.8,+80,false,\"red\"x\n"               // 8: text after a quote
      "m-9,SN/9,::g,080a,TRUE,red\n"                        // 9
      "m-10,SN10,10.0.0.10,50051,false,\"never closed\n");  // 10
  EXPECT_THAT(
      lines_and_messages(inventory),
      ElementsAre("1: unknown column 'colour'", "3: duplicate meter_id 'm-1' (first on line 2)",
                  "4: duplicate serial 'SN1' (first on line 2)",
                  "5: serial 'SN 4' cannot form a machine name (letters, digits, '-' and '_', at "
                  "most 54 characters)",
                  "5: bad IP address '10.0.0.256'", "5: bad port '0' (a number in 1..65535)",
                  "5: bad cert_auth 'yes' (true or false)", "6: missing value for meter_id",
                  "6: missing value for ip_address", "6: bad port '65536' (a number in 1..65535)",
                  "7: expected 6 fields, found 3", "8: text after the closing quote of a field",
                  "9: serial 'SN/9' cannot form a machine name (letters, digits, '-' and '_', at "
                  "most 54 characters)",
                  "9: bad IP address '::g'", "9: bad port '080a' (a number in 1..65535)",
                  "9: bad cert_auth 'TRUE' (true or false)", "10: quoted field is never closed"));
  EXPECT_THAT(inventory.meters, IsEmpty());
}

TEST(Inventory, RefusesAFileWithoutItsRequiredColumnsOrWithBadBytes) {
  EXPECT_THAT(lines_and_messages(parse_inventory("")), ElementsAre("1: no header row"));
  EXPECT_THAT(lines_and_messages(parse_inventory("meter_id,port,port\nm-1,1,2\n")),
              ElementsAre("1: column 'port' appears twice", "1: missing column 'serial'",
                          "1: missing column 'ip_address'"));
  EXPECT_THAT(lines_and_messages(parse_inventory("meter_id,serial,ip_address\nm-\xff,SN1,10.0.0.1\n"
                                                 "m-\x1b[2J,SN2,10.0.0.2\n")),
              ElementsAre("2: value of meter_id is not valid UTF-8",
                          "3: value of meter_id holds a control character"));
  const std::string long_serial(55, 'a');
  EXPECT_EQ(parse_inventory("meter_id,serial,ip_address\nm-1," + long_serial + ",10.0.0.1\n")
                .problems.size(),
            1U);
  EXPECT_EQ(
      parse_inventory("meter_id,serial,ip_address\nm-1," + long_serial.substr(1) + ",10.0.0.1\n")
          .problems.size(),
      0U);
  EXPECT_THROW(read_inventory("/nonexistent/inventory.csv"), std::runtime_error);
}

TEST(Inventory, AFileWithoutMeterRowsIsAProblem) {
  EXPECT_THAT(lines_and_messages(parse_inventory("meter_id,serial,ip_address\r\n\r\n\n")),
              ElementsAre("1: no meter rows"));
  EXPECT_THAT(lines_and_messages(parse_inventory("\nmeter_id,colour\n")),
              ElementsAre("2: unknown column 'colour'", "2: missing column 'serial'",
                          "2: missing column 'ip_address'", "2: no meter rows"));
}

TEST(Inventory, ListsTheFirstHundredProblemsAndCountsAllOthers) {
  std::string text = "meter_id,serial,ip_address\n";
  for (int i = 0; i < 150; ++i) text += "x\n";
  text += "m-1,S1,10.0.0.1\nm-1,S1,10.0.0.1\n";  // two more problems on the last line
  const Inventory inventory = parse_inventory(text);
  ASSERT_EQ(inventory.problems.size(), MAX_INVENTORY_PROBLEMS);
  EXPECT_EQ(inventory.problems.front().line, 2U);
  EXPECT_EQ(inventory.problems.back().line, 101U);
  EXPECT_EQ(inventory.problems.back().message, "expected 3 fields, found 1");
  EXPECT_EQ(inventory.more_problems, 52U);
  EXPECT_THAT(inventory.meters, IsEmpty());

  EXPECT_EQ(parse_inventory("meter_id,serial,ip_address\nm-1,S1,10.0.0.1\n").more_problems, 0U);
}

// ---------------------------------------------------------------- the meter registry

std::chrono::year_month_day ymd(int y, unsigned m, unsigned d) {
  return std::chrono::year{y} / std::chrono::month{m} / std::chrono::day{d};
}

TEST(Inventory, RegistryColumnsGiveEachMeterItsDirectoryAndService) {
  const auto inventory = parse_inventory(
      "meter_id,serial,ip_address,directory,commissioned,decommissioned\n"
      "m-1,SN1,10.0.0.1,site/m\\xff\\\\1,2025-01-01,2026-03-31\n"
      "m-2,SN2,10.0.0.2,,,\n"
      "m-3,SN3,10.0.0.3,\"site/m,3\",,2026-03-31\n");
  ASSERT_THAT(lines_and_messages(inventory), IsEmpty());
  ASSERT_EQ(inventory.meters.size(), 3U);
  EXPECT_EQ(inventory.meters[0].directory, "site/m\xff\\1");  // decoded as a JSON key
  EXPECT_EQ(inventory.meters[0].commissioned, ymd(2025, 1, 1));
  EXPECT_EQ(inventory.meters[0].decommissioned, ymd(2026, 3, 31));
  EXPECT_EQ(inventory.meters[1].directory, "");
  EXPECT_EQ(inventory.meters[1].commissioned, std::nullopt);
  EXPECT_EQ(inventory.meters[2].directory, "site/m,3");

  // In service from the first day to the last, both included.
  EXPECT_FALSE(in_service(inventory.meters[0], ymd(2024, 12, 31)));
  EXPECT_TRUE(in_service(inventory.meters[0], ymd(2025, 1, 1)));
  EXPECT_TRUE(in_service(inventory.meters[0], ymd(2026, 3, 31)));
  EXPECT_FALSE(in_service(inventory.meters[0], ymd(2026, 4, 1)));
  EXPECT_TRUE(in_service(inventory.meters[1], ymd(1, 1, 1)));
  const auto kept = in_service(inventory.meters, ymd(2026, 4, 1));
  ASSERT_EQ(kept.size(), 1U);
  EXPECT_EQ(kept[0].meter_id, "m-2");
}

TEST(Inventory, RegistryProblemsNameTheirLines) {
  const auto inventory = parse_inventory(
      "meter_id,serial,ip_address,directory,commissioned,decommissioned\n"  // 1
      "m-1,SN1,10.0.0.1,site/a,2026-04-01,2026-03-31\n"                     // 2: reversed
      "m-2,SN2,10.0.0.2,/abs,2026-02-30,31.03.2026\n"                       // 3: three at once
      "m-3,SN3,10.0.0.3,site/a,,\n"                                         // 4: same directory
      "m-4,SN4,10.0.0.4,.,,\n"                                              // 5: the root
      "m-5,SN5,10.0.0.5,a//b,,\n"                                           // 6
      "m-6,SN6,10.0.0.6,a/../b,,\n"                                         // 7
      "m-7,SN7,10.0.0.7,a/\\q,,\n");                                        // 8
  EXPECT_THAT(
      lines_and_messages(inventory),
      ElementsAre("2: decommissioned 2026-03-31 is before commissioned 2026-04-01",
                  "3: directory '/abs': not a path below the root: absolute path",
                  "3: bad commissioned '2026-02-30' (YYYY-MM-DD)",
                  "3: bad decommissioned '31.03.2026' (YYYY-MM-DD)",
                  "4: duplicate directory 'site/a' (first on line 2)",
                  "5: directory '.': not a path below the root: the root itself, not a directory "
                  "below it",
                  "6: directory 'a//b': not a path below the root: empty component",
                  "7: directory 'a/../b': not a path below the root: . or .. component",
                  "8: directory 'a/\\q': unknown escape: a backslash must be followed by another "
                  "backslash, n, r, or x and two hexadecimal digits"));
  EXPECT_THAT(inventory.meters, IsEmpty());
}

// The audit needs only meter_id and directory, and checks only the columns it uses; the fleet
// still needs its own.
TEST(Inventory, EachUseRequiresItsOwnColumns) {
  const std::string audit_only = "meter_id,directory\nm-1,site/a\nm-2,\n";
  EXPECT_THAT(lines_and_messages(parse_inventory(audit_only, InventoryUse::kAudit)), IsEmpty());
  EXPECT_THAT(lines_and_messages(parse_inventory(audit_only)),
              ElementsAre("1: missing column 'serial'", "1: missing column 'ip_address'"));
  const std::string fleet_only = "meter_id,serial,ip_address\nm-1,SN1,10.0.0.1\n";
  EXPECT_THAT(lines_and_messages(parse_inventory(fleet_only, InventoryUse::kAudit)),
              ElementsAre("1: missing column 'directory'"));
  const auto bad_ip =
      parse_inventory("meter_id,ip_address,directory\nm-1,nowhere,site/a\n", InventoryUse::kAudit);
  EXPECT_THAT(lines_and_messages(bad_ip), IsEmpty());
  EXPECT_THAT(lines_and_messages(parse_inventory("meter_id,directory\n", InventoryUse::kAudit)),
              ElementsAre("1: no meter rows"));
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
