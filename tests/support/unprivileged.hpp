// Running part of a test as an unprivileged user, so that permission checks
// apply even when the tests run as root.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace quelmar::testing {

// Runs `body` in a child process as the user "nobody" (when running as root).
// Returns its exit status.
inline int run_unprivileged(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

}  // namespace quelmar::testing
