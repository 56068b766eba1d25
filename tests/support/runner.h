// Runs the built program (or another executable) as a child process and
// captures what it printed and how it ended.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velk::testing {

struct RunOptions {
  std::vector<std::pair<std::string, std::string>> set_env;  // set or replaced
  std::vector<std::string> unset_env;
  std::string cwd;         // empty keeps the test's own
  std::string input;       // written to standard input, which is then closed
  std::chrono::milliseconds timeout{30000};  // then the child is killed
  // The user and group (and no supplementary groups) the child drops to: a
  // test run as root plays another user.
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
