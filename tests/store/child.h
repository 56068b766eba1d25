// Child processes for the kill and lock tests: forked, and always reaped
// within a bound.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

namespace velk::testing {

// Runs `body` in a forked child that exits 0 after it.
inline pid_t spawn(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    ::alarm(60);  // never outlive a stuck test
    body();
    ::_exit(0);
  }
  return pid;
}

// Waits for the child, killing it as soon as `kill_when` holds. Returns the
// signal that ended it, or 0 when it exited; a child still running after 20
// seconds is killed and the test fails.
inline int reap(pid_t pid, const std::function<bool()>& kill_when = {}) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    const bool late = std::chrono::steady_clock::now() > deadline;
    if (late || (kill_when && kill_when())) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      if (late) ADD_FAILURE() << "the child did not end in time";
      break;
    }
    // A condition to watch is polled without pause, so as not to miss it.
    if (!kill_when) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

}  // namespace velk::testing
