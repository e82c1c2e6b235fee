// The quelmar-fake-fly executable as a child process with its stdout on a pipe;
// killed if a test ends early.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace quelmar::testing {

class FakeFlyProcess {
 public:
  FakeFlyProcess(const std::string& executable, std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    args.insert(args.begin(), executable);
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

  // The next line the process printed, without its line end; empty at the end.
  std::string read_line() {
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

}  // namespace quelmar::testing
