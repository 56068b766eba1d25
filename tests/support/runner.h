// Runs the built program (or another executable) as a child process and
// captures what it printed and how it ended. Used by every end-to-end test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velk::testing {

struct RunOptions {
  // Variables set (or replaced) in the child's environment.
  std::vector<std::pair<std::string, std::string>> set_env;
  // Variables removed from the child's environment.
  std::vector<std::string> unset_env;
  // When true the child starts from an empty environment plus set_env.
  bool clear_env = false;
  // Working directory of the child; empty keeps the test's own.
  std::string cwd;
  // Bytes written to the child's standard input (then closed).
  std::string input;
  // The child is killed when it runs longer than this.
  std::chrono::milliseconds timeout{30000};
  // When set, the child drops to this user and group (and no supplementary
  // groups) before it starts: a test run as root plays another user.
  std::optional<std::pair<uid_t, gid_t>> as_user;
};

struct RunResult {
  std::string out;
  std::string err;
  int exit_code = -1;  // -1 when the child did not exit normally
  int signal = 0;      // the signal that ended it, or 0
  bool timed_out = false;
};

// Runs `program` with `args` (argv[0] is the program path).
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// Runs the built velk-setup-system.
RunResult run_velk(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace velk::testing
