// Every meter's mediator address as `fly addresses` prints it.
#include "quelmar/orchestrate/fleet/address_report.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace quelmar::orchestrate::fleet {
namespace {

TEST(AddressReport, TextIsAMeterAndItsAddressPerLineAndJsonAddsTheMachine) {
  const std::vector<MeterAddress> found{{"M\x1b"
                                         "1",
                                         "e1", "fdaa::1"},
                                        {"M2", "e2", "10.0.0.2"}};
  std::ostringstream text;
  write_addresses(text, found, ReportFormat::kText);
  EXPECT_EQ(text.str(), "M\\x1b1 fdaa::1\nM2 10.0.0.2\n");
  std::ostringstream json;
  write_addresses(json, found, ReportFormat::kJson);
  EXPECT_EQ(json.str(),
            "[{\"meter_id\":\"M\\u001b1\",\"machine_id\":\"e1\",\"address\":\"fdaa::1\"},"
            "{\"meter_id\":\"M2\",\"machine_id\":\"e2\",\"address\":\"10.0.0.2\"}]\n");
}

}  // namespace
}  // namespace quelmar::orchestrate::fleet
