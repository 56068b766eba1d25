// The test runner itself: later end-to-end tests rely on it capturing
// everything, passing the environment and working directory, and never
// hanging.
#include "support/runner.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace velk::testing {
namespace {

TEST(Runner, DrainsLargeOutputOnBothStreamsWhileFeedingInput) {
  RunOptions options;
  options.input = std::string(300000, 'i');
  const RunResult r = run_program(
      "/bin/sh",
      {"-c", "i=0; while [ $i -lt 2000 ]; do echo out-line-$i; echo err-line-$i >&2; i=$((i+1)); "
             "done; wc -c"},
      options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("out-line-1999\n300000\n"), std::string::npos);
  EXPECT_EQ(r.err.size(), r.err.find("err-line-1999\n") + 14);
}

TEST(Runner, SetsEnvironmentAndWorkingDirectory) {
  TempDir dir;
  RunOptions options;
  options.set_env = {{"VELK_RUNNER_PROBE", "a b"}};
  options.unset_env = {"HOME"};
  options.cwd = dir.path();
  EXPECT_EQ(run_program("/bin/sh",
                        {"-c", "printf '%s|%s|%s' \"$VELK_RUNNER_PROBE\" \"${HOME-unset}\" "
                               "\"$(pwd -P)\""},
                        options)
                .out,
            "a b|unset|" + dir.path());
  options = RunOptions{};
  options.clear_env = true;
  options.set_env = {{"ONLY", "1"}};
  EXPECT_EQ(run_program("/usr/bin/env", {}, options).out, "ONLY=1\n");
}

TEST(Runner, ReportsExitStatusSignalsAndKillsAChildThatOutstaysItsTimeout) {
  EXPECT_EQ(run_program("/bin/sh", {"-c", "exit 7"}).exit_code, 7);
  EXPECT_EQ(run_program("/bin/sh", {"-c", "kill -TERM $$"}).signal, SIGTERM);
  RunOptions options;
  options.timeout = std::chrono::milliseconds(200);
  const RunResult r = run_program("/bin/sh", {"-c", "echo started; exec sleep 30"}, options);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.exit_code, -1);
}

}  // namespace
}  // namespace velk::testing
