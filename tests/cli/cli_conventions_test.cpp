// What operators expect of any command line: the app from FLY_APP, --log-level anywhere, a
// mistyped command or an unknown option named as such, and --version.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "build_info.hpp"
#include "cli/cli_runner.hpp"
#include "cli/fake_fly_cli.hpp"
#include "quelmar/util/logging.hpp"
#include "support/log_capture.hpp"

namespace quelmar::cli {
namespace {

using testing::CliResult;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using testing::run_cli;
using testing::run_program;
using ::testing::StartsWith;

constexpr const char* kToken = "conventions-t0ken";

class CliConventions : public testing::FakeFlyCli {
 protected:
  CliConventions() : FakeFlyCli(kToken) { platform_.add_app("other"); }

  // `quelmar fly list` for the fake, with the given app arguments and environment.
  CliResult list(const std::vector<std::string>& app_args, std::map<std::string, std::string> env) {
    std::vector<std::string> args{"fly", "--api-url", platform_.base_url()};
    args.insert(args.end(), app_args.begin(), app_args.end());
    args.push_back("list");
    env.emplace("FLY_API_TOKEN", kToken);
    return run_cli(args, "", env);
  }

  std::vector<std::string> listed_apps() const {
    std::vector<std::string> apps;
    for (const auto& request : platform_.requests()) {
      const std::string prefix = "/v1/apps/";
      apps.push_back(request.path.substr(prefix.size(),
                                         request.path.find('/', prefix.size()) - prefix.size()));
    }
    return apps;
  }
};

TEST_F(CliConventions, FlyAppGivesTheDefaultAppAndAnExplicitOneWins) {
  EXPECT_EQ(list({}, {{"FLY_APP", "meters"}}).status, 0);
  EXPECT_EQ(list({"--app", "meters"}, {{"FLY_APP", "other"}}).status, 0);
  EXPECT_EQ(list({"--app=other"}, {}).status, 0);
  EXPECT_THAT(listed_apps(), ElementsAre("meters", "meters", "other"));

  for (const auto& env : {std::map<std::string, std::string>{},
                          std::map<std::string, std::string>{{"FLY_APP", ""}}}) {
    const auto r = list({}, env);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quelmar: no app: pass --app or set FLY_APP\n");
  }
  EXPECT_EQ(listed_apps().size(), 3U);  // nothing more was sent
}

TEST_F(CliConventions, LogLevelIsTakenBeforeOrAfterTheCommandTheLastOneWinning) {
  const util::logging::ScopedLogLevel restore(util::logging::Level::kInfo);
  EXPECT_EQ(fly({"list", "--log-level", "error"}).status, 0);
  EXPECT_EQ(util::logging::current_level(), util::logging::Level::kError);
  const auto r = run_cli({"--log-level", "debug", "profile-logs", "missing", "/nonexistent",
                          "--from", "2021-01-01", "--to", "2021-01-01", "--log-level", "off"});
  EXPECT_EQ(r.status, 2) << r.err;  // the scan's own answer, not a usage error
  EXPECT_THAT(r.err, StartsWith("quelmar: cannot scan"));
  EXPECT_EQ(util::logging::current_level(), util::logging::Level::kOff);
}

TEST_F(CliConventions, AnUnknownCommandOrOptionIsNamedWithAHintAndNothingIsSent) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases{
      {{"fly", "lsit"}, "unknown command 'lsit' (did you mean 'list'?)"},
      {{"fly", "--app", "meters", "stpo", "ID"}, "unknown command 'stpo' (did you mean 'stop'?)"},
      {{"fly", "plna", "--json"}, "unknown command 'plna' (did you mean 'plan'?)"},
      {{"fyl", "list"}, "unknown command 'fyl' (did you mean 'fly'?)"},
      {{"profile-logs", "mising", "."}, "unknown command 'mising' (did you mean 'missing'?)"},
      {{"fly", "frobnicate"},
       "argument 4 is not a command of 'quelmar fly' (see 'quelmar fly --help')"},
      {{"fly", "-a", "meters", "list"}, "unknown option '-a'"},
      {{"fly", "--app", "meters", "list", "--dry-run=yes"}, "unknown option '--dry-run'"},
      {{"profile-logs", "missing", ".", "--app", "meters"}, "unknown option '--app'"},
      // A word far from any command may be part of a token: only its position is shown.
      {{"fly", kToken}, "argument 4 is not a command of 'quelmar fly' (see 'quelmar fly --help')"},
  };
  for (const auto& c : cases) {
    auto args = c.args;
    if (args.front() == "fly") args.insert(args.begin() + 1, {"--api-url", platform_.base_url()});
    const auto r = run_cli(args, "", {{"FLY_API_TOKEN", kToken}, {"FLY_APP", "meters"}});
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.out, "") << c.message;
    EXPECT_EQ(r.err, "quelmar: " + c.message + "\n");
  }
  EXPECT_THAT(platform_.requests(), IsEmpty());
}

TEST(Version, NamesTheProgramItsVersionAndTheRevisionWhenKnown) {
  EXPECT_EQ(build_info::version_line("quelmar", "1.2.3", "0123456789ab-dirty"),
            "quelmar 1.2.3 (git 0123456789ab-dirty)");
  EXPECT_EQ(build_info::version_line("quelmar", "1.2.3", ""), "quelmar 1.2.3");

  const std::string expected = build_info::version_line("quelmar") + "\n";
  EXPECT_THAT(expected, StartsWith("quelmar " QUELMAR_VERSION));
  for (const char* flag : {"--version", "-V"}) {
    const auto r = run_cli({flag});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(run_program(std::string(QUELMAR_EXE) + " " + flag), std::pair(0, expected));
    EXPECT_EQ(run_program(std::string(FAKE_FLY_EXE) + " " + flag),
              std::pair(0, build_info::version_line("quelmar-fake-fly") + "\n"));
  }
}

}  // namespace
}  // namespace quelmar::cli
