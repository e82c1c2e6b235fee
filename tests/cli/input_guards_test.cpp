// Inputs that would silently give a wrong answer: standard input claimed twice, an inventory
// read from standard input, images left uncompared, a replica compared with itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cli/cli_runner.hpp"
#include "cli/fleet_cli.hpp"
#include "support/temp_dir.hpp"

namespace {

using quelmar::cli::testing::CliResult;
using quelmar::cli::testing::FleetCli;
using quelmar::cli::testing::run_cli;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* kTwoMeters =
    "meter_id,serial,ip_address,port,cert_auth\n"
    "m-1,S1,10.0.0.1,,\n"
    "m-2,S2,10.0.0.2,7002,true\n";
constexpr const char* kImageNote = "without --image, the mediators' images are not compared";

class InputGuards : public FleetCli {
 protected:
  // `quelmar fly ARGS` as the fixture runs it, but without --image.
  CliResult fly_without_image(const std::vector<std::string>& args, const std::string& input) {
    std::vector<std::string> all{
        "fly",          "--app",           "meters", "--api-url", platform_.base_url(),
        "--dns-server", dns_.name_server()};
    all.insert(all.end(), args.begin(), args.end());
    return run_cli(all, input, {{"FLY_API_TOKEN", token_}});
  }
};

TEST_F(InputGuards, AnInventoryFromStandardInputIsPlannedAndApplied) {
  auto r = fly({"plan", "--inventory", "-"}, kTwoMeters);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.out, HasSubstr("create m-1 "));
  EXPECT_THAT(r.out, HasSubstr("create m-2 "));
  EXPECT_THAT(r.err, IsEmpty()) << "--image was given";

  r = fly({"apply", "--inventory", "-", "--cmd", "/m", "--yes"}, kTwoMeters);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fly({"plan", "--inventory", "-"}, kTwoMeters).status, 0);

  // Its problems name it.
  r = fly({"plan", "--inventory", "-"}, "meter_id,serial,ip_address\nm-1,S1,10.0.0.x\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quelmar: (standard input):2: bad IP address '10.0.0.x'\n");
}

TEST_F(InputGuards, StandardInputServesOneInputOnly) {
  // The confirmation would read the inventory's rest, or nothing.
  const auto r = fly({"apply", "--inventory", "-", "--cmd", "/m"}, kTwoMeters);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "quelmar: standard input cannot serve both the confirmation prompt (--yes skips it) "
            "and --inventory -\n");
  EXPECT_THAT(platform_.requests(), IsEmpty());
}

TEST_F(InputGuards, WithoutAnImagePlanAndApplySayOnceThatImagesAreNotCompared) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"plan", "--inventory", "-"},
        std::vector<std::string>{"plan", "--inventory", "-", "--json"},
        std::vector<std::string>{"apply", "--inventory", "-", "--yes"}}) {
    const auto r = fly_without_image(args, "meter_id,serial,ip_address\nm-1,S1,10.0.0.1\n");
    const auto first = r.err.find(kImageNote);
    ASSERT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(kImageNote, first + 1), std::string::npos) << r.err;
    EXPECT_THAT(r.out, Not(HasSubstr(kImageNote)));
  }
}

TEST(CompareInputs, TheSameReplicaTwiceIsAUsageError) {
  const std::string dir = quelmar::testing::make_temp_dir("quelmar-compare");
  std::filesystem::create_directories(dir + "/a/m1");
  std::filesystem::create_directories(dir + "/b/m1");
  std::ofstream(dir + "/a/m1/M1-20210901.csv").close();
  std::filesystem::create_directory_symlink(dir + "/a", dir + "/link");
  for (const std::string& again : {dir + "/a/", dir + "/a/m1/..", dir + "/link"}) {
    const auto r = run_cli({"profile-logs", "compare", dir + "/a", dir + "/b", again, "--from",
                            "2021-09-01", "--to", "2021-09-01"});
    EXPECT_EQ(r.status, 2) << again;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quelmar: replicas " + dir + "/a and " + again + " are the same directory\n");
  }
  EXPECT_EQ(run_cli({"profile-logs", "compare", dir + "/a", dir + "/b", "--from", "2021-09-01",
                     "--to", "2021-09-01"})
                .status,
            1);
  std::filesystem::remove_all(dir);
}

}  // namespace
