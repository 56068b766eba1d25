#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store/target.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::TempDir;
using testing::make_dirs;
using testing::read_text;
using testing::write_text;

constexpr int kWaitMs = 10000;

// A child process that takes the lock on a control directory, reports 'L'
// (locked) or 'F' on a pipe, and holds it until the parent closes the other
// pipe or kills it.
class LockHolder {
 public:
  explicit LockHolder(const std::string& control_dir) {
    int ready[2], hold[2];
    if (::pipe(ready) != 0 || ::pipe(hold) != 0 || (pid_ = ::fork()) < 0) std::abort();
    if (pid_ == 0) {
      ::alarm(60);  // never outlive a stuck test
      ::close(hold[1]);
      Result<TargetLock> lock = lock_target(control_dir);
      const char report = lock.ok() ? 'L' : 'F';
      (void)!::write(ready[1], &report, 1);
      char byte;
      while (::read(hold[0], &byte, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    ready_ = ready[0];
    hold_ = hold[1];
  }
  ~LockHolder() { end(true); }

  // The child's report, or '?' when none came in time.
  char report() {
    pollfd p{ready_, POLLIN, 0};
    char c = '?';
    if (::poll(&p, 1, kWaitMs) != 1 || ::read(ready_, &c, 1) != 1) return '?';
    return c;
  }

  // Lets the child end (or kills it); true once it has been reaped in time.
  bool end(bool kill) {
    if (pid_ < 0) return false;
    if (kill) ::kill(pid_, SIGKILL);
    ::close(hold_);
    ::close(ready_);
    bool reaped = false;
    for (int waited = 0; waited < kWaitMs && !reaped; waited += 5) {
      reaped = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!reaped) ::usleep(5000);
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    return reaped;
  }

 private:
  pid_t pid_ = -1;
  int ready_ = -1;
  int hold_ = -1;
};

TEST(TargetLock, SecondProcessFailsAtOnceUntilTheHolderEnds) {
  TempDir dir;
  const std::string control = dir / ".velk-setup-system";
  make_dirs(control);
  const std::string lock_path = control + "/target.lock";

  LockHolder holder(control);
  ASSERT_EQ(holder.report(), 'L');
  const Result<TargetLock> busy = lock_target(control);
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.error().kind, ErrorKind::lock_unavailable);
  EXPECT_EQ(busy.error().message, "another process holds " + lock_path);
  EXPECT_FALSE(busy.error().has_cause());

  ASSERT_TRUE(holder.end(false));
  Result<TargetLock> after = lock_target(control);
  ASSERT_TRUE(after.ok()) << after.error().full();
  EXPECT_TRUE(after->held());
}

TEST(TargetLock, AKilledHolderLeavesNoLockBehind) {
  TempDir dir;
  const std::string control = dir.path();
  LockHolder holder(control);
  ASSERT_EQ(holder.report(), 'L');
  ASSERT_FALSE(lock_target(control).ok());
  ASSERT_TRUE(holder.end(true));
  const Result<TargetLock> after = lock_target(control);
  EXPECT_TRUE(after.ok()) << after.error().full();
}

TEST(TargetLock, TheSameProcessCannotLockTwice) {
  TempDir dir;
  const std::string lock_path = dir / "target.lock";
  Result<TargetLock> first = lock_target(dir.path());
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->path(), lock_path);

  // Spelled differently, it is still the same lock.
  for (const std::string& control : {dir.path(), dir.path() + "/", dir.path() + "/./"}) {
    const Result<TargetLock> again = lock_target(control);
    ASSERT_FALSE(again.ok()) << control;
    EXPECT_EQ(again.error().kind, ErrorKind::lock_unavailable);
    EXPECT_EQ(again.error().message.rfind("this process already holds ", 0), 0u);
  }
  const Result<TargetLock> exact = lock_target(dir.path());
  EXPECT_EQ(exact.error().message, "this process already holds " + lock_path);

  // A moved lock is still held; the moved-from value releases nothing.
  TargetLock moved = std::move(first).value();
  ASSERT_FALSE(lock_target(dir.path()).ok());
  moved.release();
  EXPECT_FALSE(moved.held());
  EXPECT_TRUE(lock_target(dir.path()).ok());  // taken and released at once
  EXPECT_TRUE(lock_target(dir.path()).ok());
}

TEST(TargetLock, AFailedOpenDoesNotStayRegistered) {
  TempDir dir;
  const std::string control = dir / "control";
  const Result<TargetLock> missing = lock_target(control);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::state_unavailable);
  EXPECT_EQ(missing.error().message, "cannot open lock file " + control + "/target.lock");
  EXPECT_EQ(missing.error().cause, "No such file or directory");

  make_dirs(control);
  EXPECT_TRUE(lock_target(control).ok());
}

TEST(TargetLock, AnnotationReplacesTheContentAndOutlivesTheLock) {
  TempDir dir;
  const std::string lock_path = dir / "target.lock";
  write_text(lock_path, "velk-setup-system an-older-and-longer-operation");
  {
    Result<TargetLock> lock = lock_target(dir.path());
    ASSERT_TRUE(lock.ok());
    // Taking the lock does not truncate the last holder's note.
    EXPECT_EQ(read_text(lock_path), "velk-setup-system an-older-and-longer-operation");
    EXPECT_EQ(lock_annotation("install"), "velk-setup-system install");
    ASSERT_TRUE(annotate_lock(*lock, lock_annotation("install")).ok());
    EXPECT_EQ(read_text(lock_path), "velk-setup-system install");
    ASSERT_TRUE(annotate_lock(*lock, lock_annotation("remove")).ok());
    EXPECT_EQ(read_text(lock_path), "velk-setup-system remove");
  }
  EXPECT_EQ(read_text(lock_path), "velk-setup-system remove");

  TargetLock released;
  const Status status = annotate_lock(released, "x");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "cannot annotate ");
  EXPECT_EQ(status.error().kind, ErrorKind::state_unavailable);
}

}  // namespace
}  // namespace velk
