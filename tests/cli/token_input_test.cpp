// The API token never shows, however it was given: split by the shell, from a file, from
// standard input.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/fleet_cli.hpp"

namespace quelmar::cli::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class TokenInput : public FleetCli {
 protected:
  // `quelmar ARGS` with the fake's URL and app, and an environment token the fake refuses.
  CliResult quelmar(std::vector<std::string> fly_args, const std::string& input = "") {
    std::vector<std::string> args{"fly",
                                  "--app",
                                  "meters",
                                  "--api-url",
                                  platform_.base_url(),
                                  "--image",
                                  "registry.example/mediator:1"};
    args.insert(args.end(), fly_args.begin(), fly_args.end());
    const auto r = run_cli(args, input, {{"FLY_API_TOKEN", "wrong-env-t0ken"}});
    EXPECT_THAT(r.out + r.err, Not(HasSubstr(kToken)));
    return r;
  }

  std::string token_file(const std::string& content, mode_t mode = 0600,
                         const std::string& name = "token") {
    const std::string path = dir_ + "/" + name;
    std::filesystem::remove(path);
    std::ofstream(path) << content;
    ::chmod(path.c_str(), mode);
    return path;
  }

  std::vector<std::vector<std::string>> every_command() {
    const std::string file = inventory("meter_id,serial,ip_address\nm-1,S1,10.0.0.1\n");
    return {{"list"},
            {"list", "--json", "--meter-id", "m-1"},
            {"create", "--cmd", "c", "--meter-id", "m", "--serial", "S", "--ip-address", "10.0.0.1",
             "--port", "80", "--yes"},
            {"start", "ID"},
            {"stop", "ID"},
            {"destroy", "ID", "--force"},
            {"address", "m-1"},
            {"plan", "--inventory", file},
            {"apply", "--inventory", file, "--yes"},
            {"addresses", "--json"}};
  }
};

TEST_F(TokenInput, ATokenTheShellSplitIsRefusedInEveryPositionWithoutShowingAWordOfIt) {
  const std::vector<std::vector<std::string>> split_forms{{"--token", "FlyV1", "fm2_a,fm2_b"},
                                                          {"--token=FlyV1", "fm2_a,fm2_b"}};
  for (const auto& command : every_command()) {
    std::vector<std::string> base{"fly", "--app", "meters", "--api-url", platform_.base_url()};
    base.insert(base.end(), command.begin(), command.end());
    for (const auto& split : split_forms) {
      for (std::size_t at = 0; at <= base.size(); ++at) {
        auto args = base;
        args.insert(args.begin() + static_cast<std::ptrdiff_t>(at), split.begin(), split.end());
        const auto r = run_cli(args);
        const std::string shown = command.front() + " at " + std::to_string(at);
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err,
                  "quelmar: the token given by --token was split by the shell into separate "
                  "words: quote it, or better pass --token-file FILE or --token -\n")
            << shown;
      }
    }
  }
  EXPECT_THAT(platform_.requests(), IsEmpty());
}

TEST_F(TokenInput, AnUnexpectedWordIsNamedByItsPositionNeverByItsText) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string word = "fm2_lJPECAAAAAAAA";
  const std::vector<Case> cases{
      {{"fly", "--app", "meters", "list", word}, "argument 5 was not expected"},
      {{"fly", "--app", word, "list", word}, "argument 5 was not expected"},
      {{"fly", word, "--app", "meters", "list"}, "argument 2 was not expected"},
      {{"fly", "--app", "meters", word},
       "argument 4 is not a command of 'quelmar fly' (see 'quelmar fly --help')"},
      {{"fly", "start", "ID", word}, "argument 4 was not expected"},
      {{"fly", "address", "m-1", word, "--json"}, "argument 4 was not expected"},
      {{"fly", "--app", "meters", "list", "--", "list"}, "argument 6 was not expected"},
      {{"profile-logs", "missing", ".", word, "--last", "3"}, "argument 4 was not expected"},
      {{word}, "argument 1 is not a command of 'quelmar' (see 'quelmar --help')"},
  };
  for (const auto& c : cases) {
    const auto r = run_cli(c.args, "", {{"FLY_API_TOKEN", kToken}});
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.err, "quelmar: " + c.message + "\n");
  }
}

TEST_F(TokenInput, ATokenFileIsUsedWithoutItsLineEnd) {
  for (const std::string& content :
       {std::string(kToken), std::string(kToken) + "\n", std::string(kToken) + "\r\n"}) {
    const auto r = quelmar({"--token-file", token_file(content), "list", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[]\n");
  }
  // Readable by others is allowed; only changing it is not.
  EXPECT_EQ(quelmar({"list", "--token-file", token_file(kToken, 0644)}).status, 0);
}

TEST_F(TokenInput, AnUnsafeOrUnusableTokenFileIsRefusedBeforeAnyRequest) {
  struct Case {
    std::string path;
    std::string reason;
  };
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string no_file = dir_ + "/none";
  const std::vector<Case> cases{
      {no_file, "No such file or directory"},
      {dir_, "not a regular file"},
      {fifo, "not a regular file"},  // and no waiting for a writer
      {token_file(kToken, 0620, "group"), "writable by group or others (mode 0620)"},
      {token_file(kToken, 0602, "others"), "writable by group or others (mode 0602)"},
      {token_file("", 0600, "empty"), "holds no token"},
      {token_file("\n", 0600, "blank"), "holds no token"},
      {token_file(std::string(kToken) + "\nsecond line\n", 0600, "two-lines"),
       "holds more than one line or a control character"},
      {token_file(std::string(kToken) + '\0', 0600, "nul"),
       "holds more than one line or a control character"},
      {token_file(std::string(64 * 1024 + 1, 'x'), 0600, "large"), "larger than 65536 bytes"},
  };
  for (const auto& c : cases) {
    const auto r = quelmar({"list", "--token-file", c.path});
    EXPECT_EQ(r.status, 2) << c.reason;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quelmar: " + c.path + ": " + c.reason + "\n");
  }
  // A token passed where its file belongs is not repeated.
  const auto token_as_file = quelmar({"list", "--token-file", "FlyV1 fm2_aaaa,fm2_bbbb"});
  EXPECT_EQ(token_as_file.status, 2);
  EXPECT_EQ(token_as_file.err,
            "quelmar: --token-file (a token, not a file name?): No such file or directory\n");
  const auto both = quelmar({"--token", kToken, "--token-file", token_file(kToken), "list"});
  EXPECT_EQ(both.status, 2);
  EXPECT_THAT(both.err, HasSubstr("excludes"));
  EXPECT_THAT(platform_.requests(), IsEmpty());
}

TEST_F(TokenInput, ATokenFromStandardInputLeavesNoRoomForAPrompt) {
  auto r = quelmar({"--token", "-", "list", "--json"}, std::string(kToken) + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[]\n");
  const std::string file = inventory("meter_id,serial,ip_address\nm-1,S1,10.0.0.1\n");
  const std::vector<std::vector<std::string>> would_ask{
      {"create", "--cmd", "c", "--meter-id", "m", "--serial", "S", "--ip-address", "10.0.0.1",
       "--port", "80"},
      {"apply", "--inventory", file, "--cmd", "/m"}};
  const std::size_t requests = platform_.requests().size();
  for (const auto& command : would_ask) {
    auto args = command;
    args.insert(args.begin(), {"--token", "-"});
    r = quelmar(args, std::string(kToken) + "\ny\n");
    EXPECT_EQ(r.status, 2) << command.front();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "quelmar: standard input cannot serve both the confirmation prompt (--yes skips it) "
              "and --token -\n");
  }
  for (const std::string input : {"", "\n"}) {
    r = quelmar({"--token", "-", "list"}, input);
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("quelmar: standard input: "));
  }
  EXPECT_EQ(platform_.requests().size(), requests);
  r = quelmar({"--token", "-", "apply", "--inventory", file, "--cmd", "/m", "--yes"},
              std::string(kToken) + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
}  // namespace quelmar::cli::testing
