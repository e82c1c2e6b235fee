// The quelmar-fake-fly executable: announces its URL, serves, and ends cleanly on SIGTERM.
#include <csignal>
#include <cstdio>
#include <string>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "corvane/api_fixture.hpp"

extern char** environ;

namespace corvane::api::testing {
namespace {

// Runs the executable with its stdout on a pipe; kills it if a test ends early.
class FakeFlyProcess {
 public:
  explicit FakeFlyProcess(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    args.insert(args.begin(), QUELMAR_FAKE_FLY_EXE);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fdopen(fds[0], "r");
  }
  ~FakeFlyProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ != nullptr) fclose(out_);
  }
  FakeFlyProcess(const FakeFlyProcess&) = delete;
  FakeFlyProcess& operator=(const FakeFlyProcess&) = delete;

  std::string first_line() {
    char line[256] = "";
    if (out_ == nullptr || fgets(line, sizeof line, out_) == nullptr) return "";
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

  // The exit status after `signal`, or -1 when it did not exit normally.
  int stop_with(int signal) {
    int status = 0;
    kill(pid_, signal);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

TEST(FakeFlyExecutable, ServesUntilSigtermThenExitsCleanly) {
  FakeFlyProcess process({"--port", "0", "--token", "exe-token", "--app", "demo"});
  const std::string url = process.first_line();
  ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;

  {
    // Closed before the stop, so the fake need not outwait an idle connection.
    API exe_client("exe-token", {.base_url = url, .max_retries = 0});
    EXPECT_EQ(exe_client.list("demo", "iad"), json::array());
    EXPECT_TRUE(exe_client.list("other", "iad").contains("error"));
  }

  EXPECT_EQ(process.stop_with(SIGTERM), 0);
}

}  // namespace
}  // namespace corvane::api::testing
