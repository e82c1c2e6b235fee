// Every number on a command line is read the same strict way: a value that is not plain
// decimal digits within the option's range is a usage error before anything is sent.
#include <string>
#include <vector>

#include "cli/fleet_cli.hpp"

namespace quelmar::cli::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

struct NumericOption {
  std::vector<std::string> command;  // the command line before the option
  std::string name;
  std::string range;
  std::vector<std::string> bad;  // besides those every option refuses
};

// Refused by every option, whatever its range.
const std::vector<std::string> kNeverNumbers{
    "-1", "-0", "+3", " 4", "4 ", "0x10", "1e3", "2.5", "", "010", "18446744073709551616", "ten"};

class NumericOptions : public FleetCli {
 protected:
  std::vector<NumericOption> options() {
    const std::string file = inventory(kOneMeterCsv);
    const std::vector<std::string> create{"create",   "--cmd",    "c", "--meter-id",
                                          "m",        "--serial", "S", "--ip-address",
                                          "10.0.0.1", "--yes"};
    auto with_port = create;
    with_port.insert(with_port.end(), {"--port", "80"});
    return {
        {{"apply", "--inventory", file, "--yes"},
         "--max-destroy",
         "0..1000000",
         {"1000001", "18446744073709551615"}},
        {{"apply", "--inventory", file, "--yes"}, "--parallel", "1..64", {"0", "65"}},
        {create, "--port", "1..65535", {"0", "65536"}},
        {with_port, "--internal-port", "1..65535", {"0", "65536"}},
    };
  }
  static constexpr const char* kOneMeterCsv = "meter_id,serial,ip_address\nm-1,S1,10.0.0.1\n";
};

TEST_F(NumericOptions, AnythingButDigitsInRangeIsAUsageErrorNamingTheRangeAndNothingIsSent) {
  for (const auto& option : options()) {
    auto values = kNeverNumbers;
    values.insert(values.end(), option.bad.begin(), option.bad.end());
    for (const auto& value : values) {
      for (const bool joined : {false, true}) {
        auto args = option.command;
        if (joined) {
          args.push_back(option.name + "=" + value);
        } else {
          args.insert(args.end(), {option.name, value});
        }
        const auto r = fly(args, "y\n");
        const std::string shown = option.name + " '" + value + "'";
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err, "quelmar: " + option.name + " takes a whole number " + option.range +
                             " (decimal digits only), not '" + value + "'\n")
            << shown;
      }
    }
  }
  EXPECT_THAT(platform_.requests(), IsEmpty());
}

TEST_F(NumericOptions, TheEndsOfEachRangeAreTakenAndShownInHelp) {
  const std::string file = inventory(kOneMeterCsv);
  // Zero destroys allowed is a limit, not "no limit".
  auto r = fly({"apply", "--inventory", file, "--cmd", "/m", "--yes", "--max-destroy", "0",
                "--parallel", "64"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = fly({"create", "--cmd", "c", "--meter-id", "m", "--serial", "S", "--ip-address", "10.0.0.1",
           "--port", "65535", "--internal-port", "1", "--yes"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const auto& option : options()) {
    auto help = option.command;
    help.push_back("--help");
    r = fly(help);
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr(" (" + option.range)) << option.name;
  }
}

TEST(NumericOptionsOfOtherCommands, LastAndTheFakesOptionsAreReadTheSameWay) {
  for (const char* value : {"0", "36501", "-1", "0x10", "+3"}) {
    const auto r = run_cli({"profile-logs", "missing", ".", "--last", value});
    EXPECT_EQ(r.status, 2) << value;
    EXPECT_EQ(r.err, "quelmar: --last takes a whole number 1..36500 (decimal digits only), not '" +
                         std::string(value) + "'\n");
  }
  const std::vector<std::pair<std::string, std::string>> fake_options{
      {"--port", "65536"},          {"--dns-port", "65536"},
      {"--latency-ms", "60001"},    {"--destroyed-listings", "-1"},
      {"--seed-mediators", "0x10"},
  };
  for (const auto& [name, value] : fake_options) {
    // Exits at once, before serving; `timeout` ends a fake that would serve instead.
    EXPECT_EQ(
        run_program("timeout 20 " + std::string(FAKE_FLY_EXE) + " " + name + " " + value).first, 2)
        << name;
  }
  const auto help = run_program(std::string(FAKE_FLY_EXE) + " --help");
  EXPECT_EQ(help.first, 0);
  EXPECT_THAT(help.second, HasSubstr("(0..65535, default 0)"));
}

}  // namespace
}  // namespace quelmar::cli::testing
