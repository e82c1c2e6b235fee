// The built executables together: quelmar against a running quelmar-fake-fly.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/fake_fly_process.hpp"
#include "support/temp_dir.hpp"

namespace {

using quelmar::testing::FakeFlyProcess;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

struct ProcessRun {
  int status;
  std::string out;
};

// Runs quelmar with a shell command line; stdout only, stderr is dropped.
ProcessRun quelmar(const std::string& args) {
  const std::string command = std::string(QUELMAR_EXE) + " " + args + " 2>/dev/null </dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Runs a shell command line; its stderr only, and the exit status.
ProcessRun shell_err(const std::string& command) {
  FILE* pipe = ::popen(("(" + command + ") 2>&1 >/dev/null </dev/null").c_str(), "r");
  std::string err;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) err.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
}

// Runs quelmar with SIGPIPE ignored (unless told otherwise) and stdout on a pipe nobody reads
// any more; stderr and the exit status, -1 when it ended by a signal.
ProcessRun quelmar_into_closed_pipe(const std::vector<std::string>& args,
                                    bool ignore_sigpipe = true) {
  int out[2];
  int err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {-1, ""};
  ::close(out[0]);
  std::string command =
      std::string(ignore_sigpipe ? "trap '' PIPE; " : "") + "exec " + std::string(QUELMAR_EXE);
  for (const auto& arg : args) command += " '" + arg + "'";
  std::vector<std::string> sh{"/bin/sh", "-c", command};
  std::vector<char*> argv;
  for (auto& a : sh) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(err[0]);
  int status = 0;
  if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) return {-1, text};
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST(EndToEnd, AWriteErrorOnStdoutIsReportedAndAClosedPipeIsNot) {
  const std::string days =
      " profile-logs missing /nonexistent/replicas --folder --from 2021-09-01"
      " --to 2021-09-30";
  ProcessRun r = shell_err(std::string(QUELMAR_EXE) + days + " >/dev/full");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "quelmar: cannot write output: No space left on device\n");
  r = shell_err(std::string(QUELMAR_EXE) + days + " --json >/dev/full");
  EXPECT_EQ(r.status, 2);
  // --help is output as well.
  r = shell_err(std::string(QUELMAR_EXE) + " --help >/dev/full");
  EXPECT_EQ(r.status, 2);

  r = quelmar_into_closed_pipe({"profile-logs", "missing", "/nonexistent/replicas", "--folder",
                                "--from", "2021-09-01", "--to", "2021-09-30"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
}

TEST(EndToEnd, MediatorRoundTripAgainstTheFakeExecutable) {
  FakeFlyProcess fake(FAKE_FLY_EXE, {"--token", "e2e-token", "--app", "e2e"});
  const std::string url = fake.read_line();
  const std::string dns_line = fake.read_line();
  ASSERT_THAT(dns_line, MatchesRegex("dns 127\\.0\\.0\\.1:[0-9]+"));
  const std::string fly = "fly --app e2e --token e2e-token --api-url " + url + " --dns-server " +
                          dns_line.substr(4) + " --image img:1 ";

  const ProcessRun created = quelmar(fly +
                                     "create --cmd run --meter-id m9 --serial S9 "
                                     "--ip-address 10.9.9.9 --port 7000 --yes");
  ASSERT_EQ(created.status, 0);
  const std::string id = created.out.substr(0, created.out.size() - 1);

  const ProcessRun listed = quelmar(fly + "list --json");
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(nlohmann::json::parse(listed.out)[0]["id"], id);

  const ProcessRun address = quelmar(fly + "address m9");
  EXPECT_EQ(address.status, 0);
  EXPECT_THAT(address.out, MatchesRegex("\\[fdaa:[0-9a-f:]+\\]:7000\n"));

  const ProcessRun destroyed = quelmar(fly + "destroy " + id);
  EXPECT_EQ(destroyed.status, 0);
  EXPECT_THAT(destroyed.out, HasSubstr("destroy_rsp [" + id + "]: "));

  EXPECT_EQ(quelmar(fly + "list --json").out, "[]\n");

  // A fly command whose output cannot be written says so.
  const ProcessRun full = shell_err(std::string(QUELMAR_EXE) + " " + fly + "list >/dev/full");
  EXPECT_EQ(full.status, 2);
  EXPECT_EQ(full.out, "quelmar: cannot write output: No space left on device\n");
  EXPECT_EQ(fake.stop_with(SIGTERM), 0);
}

TEST(EndToEnd, AnApplyWhosePlanCannotBeShownSendsNothing) {
  FakeFlyProcess fake(FAKE_FLY_EXE, {"--token", "e2e-token", "--app", "e2e"});
  const std::string url = fake.read_line();
  const std::string dns = fake.read_line().substr(4);
  const auto dir = quelmar::testing::make_temp_dir("quelmar-e2e");
  const std::string inventory = (dir / "meters.csv").string();
  std::ofstream(inventory) << "meter_id,serial,ip_address\nm-1,S1,10.0.0.1\n";
  const std::vector<std::string> fly{"fly",       "--app",     "e2e",  "--token",
                                     "e2e-token", "--api-url", url,    "--dns-server",
                                     dns,         "--image",   "img:1"};
  std::string line = std::string(QUELMAR_EXE);
  for (const auto& arg : fly) line += " " + arg;

  const ProcessRun full =
      shell_err(line + " apply --inventory " + inventory + " --cmd run --yes >/dev/full");
  EXPECT_EQ(full.status, 2);
  EXPECT_EQ(full.out, "quelmar: cannot write output: No space left on device\n");

  // A reader that went away: no death by SIGPIPE, no message, nothing sent.
  std::vector<std::string> apply = fly;
  apply.insert(apply.end(), {"apply", "--inventory", inventory, "--cmd", "run", "--yes"});
  const ProcessRun closed = quelmar_into_closed_pipe(apply, false);
  EXPECT_EQ(closed.status, 2);
  EXPECT_EQ(closed.out, "");

  EXPECT_EQ(quelmar(line.substr(std::string(QUELMAR_EXE).size()) + " list --json").out, "[]\n");
  std::filesystem::remove_all(dir);
  EXPECT_EQ(fake.stop_with(SIGTERM), 0);
}

}  // namespace
