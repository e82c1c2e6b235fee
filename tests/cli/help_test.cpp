// Every --help page against the options it describes: each command says what it does, lists
// every option it takes (those of the commands above it too) without the parser's type labels,
// names its exit statuses and gives an example that uses only options it lists.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_runner.hpp"

namespace {

using quelmar::cli::testing::run_cli;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> all;
  for (std::string w; in >> w;) all.push_back(w);
  return all;
}

// The commands a help page lists under "Subcommands:".
std::vector<std::string> commands_listed(const std::string& help) {
  std::vector<std::string> names;
  std::istringstream in(help);
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line == "Subcommands:") {
      inside = true;
    } else if (line.empty() || line[0] != ' ') {
      inside = false;
    } else if (inside && line.size() > 2 && line[2] != ' ') {
      names.push_back(words(line).front());
    }
  }
  return names;
}

// The options a page lists, in every group: "  --json   Print ..." gives --json.
std::set<std::string> options_listed(const std::string& help) {
  std::set<std::string> names;
  const std::regex option_line("^  (-[^ ]+)");
  std::istringstream in(help);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, option_line)) continue;
    std::istringstream names_in(m[1].str());
    for (std::string name; std::getline(names_in, name, ',');) names.insert(name);
  }
  return names;
}

// Every command of the CLI, by the pages themselves.
std::vector<std::vector<std::string>> all_commands() {
  std::vector<std::vector<std::string>> found{{}};
  for (std::size_t i = 0; i < found.size(); ++i) {
    auto args = found[i];
    args.push_back("--help");
    for (const auto& name : commands_listed(run_cli(args).out)) {
      auto command = found[i];
      command.push_back(name);
      found.push_back(command);
    }
  }
  return found;
}

TEST(Help, EveryPageSaysWhatItDoesItsOptionsExitStatusesAndAnExample) {
  const auto commands = all_commands();
  ASSERT_GT(commands.size(), 10U);
  for (const auto& command : commands) {
    std::string path = "quelmar";
    for (const auto& w : command) path += " " + w;
    auto args = command;
    args.push_back("--help");
    const auto r = run_cli(args);
    SCOPED_TRACE(path);
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, StartsWith("Usage: " + path + " "));
    // A line of what it does after the usage line.
    const auto lines = r.out.substr(r.out.find('\n') + 1);
    EXPECT_THAT(lines, ContainsRegex("^\n[A-Za-z][^\n]+\n"));
    EXPECT_THAT(r.out, Not(ContainsRegex("TEXT|UINT|INT|N:N|FLOAT|:\\{")));
    EXPECT_THAT(r.out, HasSubstr("Exit"));
    const auto example = r.out.find("Example:\n  quelmar ");
    ASSERT_NE(example, std::string::npos);

    // Every option a command's example uses is listed on its page; the page lists those of
    // the commands above too.
    const auto listed = options_listed(r.out);
    const bool group = !commands_listed(r.out).empty();
    for (const auto& word : words(group ? "" : r.out.substr(example))) {
      if (!word.starts_with("--")) continue;
      EXPECT_TRUE(listed.contains(word.substr(0, word.find('=')))) << word;
    }
    EXPECT_TRUE(listed.contains("--log-level"));
    if (command.size() >= 2 && command[0] == "fly") {
      EXPECT_TRUE(listed.contains("--app"));
      EXPECT_THAT(r.out, ContainsRegex("  --token TOKEN +API token[^\n]*\\(default: environment "
                                       "variable FLY_API_TOKEN\\)"));
    }
  }
}

TEST(Help, AGroupListsEachCommandOnOneLine) {
  const auto r = run_cli({"profile-logs", "--help"});
  EXPECT_THAT(r.out, ContainsRegex("\n  missing +Report the days of a date range that have no "
                                   "profile-log file \\(NAME-YYYYMMDD.csv\\)\\.\n  compare +"
                                   "Compare replicas of a profile-log tree\\.\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("Directory names:")));
}

TEST(Help, DefaultsAndChoicesAreShownWithoutParserLabels) {
  const auto r = run_cli({"fly", "apply", "--help"});
  EXPECT_THAT(r.out, ContainsRegex("\n  --parallel N +Actions in flight at once \\(1\\.\\.64, "
                                   "default 4\\)\n"));
  EXPECT_THAT(r.out, ContainsRegex("\n  --log-level LEVEL +.*\\(one of: debug, info, warning, "
                                   "error, off\\) \\(default: info\\)\n"));
  EXPECT_THAT(r.out, ContainsRegex("\n  --yes +Skip the confirmation dialogue\n"));
}

TEST(Help, ACommandGroupAloneListsItsCommandsAndFails) {
  for (const auto& [args, path] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{}, "quelmar"}, {{"fly"}, "quelmar fly"}, {{"profile-logs"}, "quelmar profile-logs"}}) {
    const auto r = run_cli(args);
    EXPECT_EQ(r.status, 2) << path;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("quelmar: '" + path + "' needs a command:\n"));
    EXPECT_THAT(r.err, HasSubstr("\nSubcommands:\n"));
    EXPECT_THAT(r.err, HasSubstr("\nSee '" + path + " --help'.\n"));
    auto help_args = args;
    help_args.push_back("--help");
    EXPECT_EQ(commands_listed(r.err), commands_listed(run_cli(help_args).out));
  }
}

TEST(Help, AMistypedOptionGetsTheNearestKnownOne) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"profile-logs", "missing", ".", "--jsn"},
       "unknown option '--jsn' (did you mean '--json'?)"},
      {{"profile-logs", "missing", ".", "--form", "2021-09-01"},
       "unknown option '--form' (did you mean '--from'?)"},
      // The options of the commands above count: they may follow.
      {{"fly", "list", "--ap", "meters"}, "unknown option '--ap' (did you mean '--app'?)"},
      {{"--log-levl", "debug", "fly", "list"},
       "unknown option '--log-levl' (did you mean '--log-level'?)"},
      {{"fly", "list", "--frobnicate"}, "unknown option '--frobnicate'"},
  };
  for (const auto& [args, message] : cases) {
    const auto r = run_cli(args);
    EXPECT_EQ(r.status, 2) << message;
    EXPECT_EQ(r.err, "quelmar: " + message + "\n");
  }
}

}  // namespace
