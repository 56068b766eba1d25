// Runs a command and writes its peak resident memory, in KiB, to a file.
//
// A process keeps the peak of the process it was forked from across exec,
// so a command started straight from a large parent (bench/run's Python)
// reports that parent's size as its own. Started from here -- a process of
// a megabyte or so -- the command's peak is its own.
//
// Run: build-bench/bench/peak_rss_tool OUT COMMAND [ARG...]
// Exits with the command's status (128 + N when signal N ended it, 127 when
// it could not be started, 2 on wrong usage).
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: peak_rss_tool OUT COMMAND [ARG...]\n");
    return 2;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("peak_rss_tool: fork");
    return 127;
  }
  if (child == 0) {
    ::execv(argv[2], argv + 2);
    std::perror("peak_rss_tool: exec");
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (::wait4(child, &status, 0, &usage) != child) {
    std::perror("peak_rss_tool: wait4");
    return 127;
  }
  FILE* out = std::fopen(argv[1], "w");
  if (!out || std::fprintf(out, "%ld\n", usage.ru_maxrss) < 0 || std::fclose(out) != 0) {
    std::perror("peak_rss_tool: cannot write the result");
    return 127;
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
