// Launching the installed stand-in: the exec runs in a forked child, whose
// image the product replaces; the checks before it are run in place.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "archive_tools.h"
#include "core/fs.h"
#include "software/software.h"
#include "support/software_prefix.h"
#include "support/temp_dir.h"

namespace velk::testing {
namespace {

struct Launched {
  std::string out;    // what the product printed
  std::string error;  // the launch failure, when the child got it back
  int exit_code = -1;
};

class Launch : public ::testing::Test {
 protected:
  std::string P() const { return tmp_ / "prefix"; }
  std::string at(std::string_view relative) const { return path_join(P(), relative); }

  // Runs launch_installed in a child with VELK_HOME set elsewhere. The
  // child's standard output goes to a file; a failure that comes back is
  // written to another, and the child exits 99.
  Launched launch(const std::vector<std::string>& args) {
    const std::string out = tmp_ / "out";
    const std::string err = tmp_ / "err";
    const std::string target = tmp_ / "target";
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o < 0 || ::dup2(o, 1) < 0) ::_exit(98);
      ::setenv("VELK_HOME", "/somewhere/else", 1);
      ::setenv("VELK_DISABLE_AUTOUPDATER", "0", 1);
      const Error error = launch_installed(P(), target, args);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const std::string text = error.message;
      if (e >= 0) (void)!::write(e, text.data(), text.size());
      ::_exit(99);
    }
    Launched launched;
    // Bounded wait: the stand-in ends at once.
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "the launched child did not end";
        return launched;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) launched.exit_code = WEXITSTATUS(status);
    if (exists(out)) launched.out = read_text(out);
    if (exists(err)) launched.error = read_text(err);
    return launched;
  }

  std::string refusal(const std::vector<std::string>& args = {}) {
    auto prepared = prepare_launch(P(), tmp_ / "target", args);
    if (prepared.ok()) return "(prepared)";
    EXPECT_EQ(to_protocol(prepared.error()).code, ReasonCode::provider_unavailable);
    return prepared.error().message;
  }

  std::string not_installed(const std::string& reason) {
    return at("bin/velk") + " is not installed under " + P() + ": " + reason +
           "; run software_install first";
  }

  TempDir tmp_;
};

TEST_F(Launch, ReplacesTheProcessWithTheVerifiedProgram) {
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  const Launched run = launch({"--target", "x", "two words", "--exit", "3"});
  EXPECT_EQ(run.error, "");
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_EQ(run.out, "velk 1.0.18\nVELK_HOME=" + (tmp_ / "target") +
                         "\nVELK_DISABLE_AUTOUPDATER=1\narg: --target\narg: x\narg: two words\n"
                         "arg: --exit\narg: 3\n");
}

TEST_F(Launch, ChangedBytesAreRefusedAndNothingStarts) {
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  // Another pinned build, of the same size, in place of the installed one.
  write_text(at("1.0.18/velk"), read_text(host_artifact("1.0.13")), 0755);
  const std::string message =
      at("1.0.18/velk") + " is not the velk this provider installed: recorded " +
      planned_software("1.0.18").build.sha256 + ", found " +
      planned_software("1.0.13").build.sha256 +
      ". Nothing has been started. Re-run software_install to put the pinned bytes back, or "
      "software_remove to take the prefix off.";
  EXPECT_EQ(refusal(), message);
  const Launched run = launch({});
  EXPECT_EQ(run.exit_code, 99);
  EXPECT_EQ(run.error, message);
  EXPECT_EQ(run.out, "");
}

TEST_F(Launch, CommandChecks) {
  // An empty prefix, and one that does not exist.
  make_dirs(P());
  EXPECT_EQ(refusal(), not_installed("No such file or directory"));

  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  // The program behind the link is gone: not installed, and the link said.
  ASSERT_EQ(std::rename(at("1.0.18").c_str(), at("moved").c_str()), 0);
  EXPECT_EQ(refusal(),
            not_installed("it links to " + at("1.0.18/velk") + ": No such file or directory"));
  ASSERT_EQ(std::rename(at("moved").c_str(), at("1.0.18").c_str()), 0);

  ASSERT_EQ(::chmod(at("1.0.18/velk").c_str(), 0644), 0);
  EXPECT_EQ(refusal(), at("bin/velk") + " exists but this host cannot execute it");
  ASSERT_EQ(::chmod(at("1.0.18/velk").c_str(), 0755), 0);
}

TEST_F(Launch, RecordChecks) {
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  const std::string record = at("bin/.velk.manifest.json");
  const std::string sha = planned_software("1.0.18").build.sha256;

  // Members in another order are read as well.
  write_text(record, "{\"executable_sha256\":\"" + sha +
                         "\",\"executable\":\"1.0.18/velk\",\"version\":\"1.0.18\","
                         "\"schema_version\":1}");
  EXPECT_EQ(refusal(), "(prepared)");

  write_text(record, "{\"schema_version\":1,\"executable\":\"1.0.18/gone\",\"executable_sha256\":\"" +
                         sha + "\"}");
  EXPECT_EQ(refusal(), record + " names " + at("1.0.18/gone") +
                           " and it could not be read: No such file or directory");

  ASSERT_EQ(::unlink(record.c_str()), 0);
  EXPECT_EQ(refusal(), record + " cannot be read: No such file or directory");
}

TEST_F(Launch, ArgumentsAndExecFailures) {
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  EXPECT_EQ(refusal({"ok", std::string("bad\0arg", 7)}), "nul byte found in provided data");

  // The record names a copy with the same bytes and no execute bit: the
  // checks pass and the exec itself fails, in the child, which carries on.
  write_text(at("1.0.18/copy"), read_text(at("1.0.18/velk")), 0644);
  write_text(at("bin/.velk.manifest.json"),
             installation_record("1.0.18", "1.0.18/copy", planned_software("1.0.18").build.sha256));
  const Launched run = launch({});
  EXPECT_EQ(run.exit_code, 99);
  EXPECT_EQ(run.error, at("1.0.18/copy") + " could not be started: Permission denied");
  EXPECT_EQ(run.out, "");
}

}  // namespace
}  // namespace velk::testing
