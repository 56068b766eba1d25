// Runs a piece of a test in a forked child and reports its exit status,
// peak memory and processor time, as the kernel counted them.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace velk::testing {

struct ChildUsage {
  int exit_code = -1;       // -1 when the child did not exit normally
  long max_rss_kib = 0;     // peak resident set
  double cpu_seconds = 0;   // user and system time
};

// `body` returns the child's exit code. The child is bounded by an alarm.
inline ChildUsage run_measured(const std::function<int()>& body, unsigned alarm_seconds = 120) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(alarm_seconds);
    ::_exit(body());
  }
  ChildUsage usage;
  int status = 0;
  struct rusage ru {};
  if (pid < 0 || ::wait4(pid, &status, 0, &ru) != pid) return usage;
  if (WIFEXITED(status)) usage.exit_code = WEXITSTATUS(status);
  usage.max_rss_kib = ru.ru_maxrss;
  usage.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                      static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  return usage;
}

}  // namespace velk::testing
