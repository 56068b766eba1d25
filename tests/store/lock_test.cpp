#include <gtest/gtest.h>

#include "store/target.h"
#include "store/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

TEST(TargetLock, TheSameProcessCannotLockTwiceAndAFailedOpenIsNotKept) {
  TempDir dir;
  const std::string lock_path = dir / "target.lock";
  Result<TargetLock> first = lock_target(dir_of(dir.path()));
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->path(), lock_path);
  // Spelled differently, it is still the same lock.
  for (const std::string& control : {dir.path() + "/", dir.path() + "/./"}) {
    const Result<TargetLock> again = lock_target(dir_of(control));
    ASSERT_FALSE(again.ok()) << control;
    EXPECT_EQ(again.error().kind, ErrorKind::lock_unavailable);
  }
  expect_error(lock_target(dir_of(dir.path())), ErrorKind::lock_unavailable,
               "this process already holds " + lock_path);

  // A moved lock is still held; the moved-from value releases nothing.
  TargetLock moved = std::move(first).value();
  ASSERT_FALSE(lock_target(dir_of(dir.path())).ok());
  moved.release();
  EXPECT_FALSE(moved.held());
  EXPECT_TRUE(lock_target(dir_of(dir.path())).ok());  // taken and released at once
  EXPECT_TRUE(lock_target(dir_of(dir.path())).ok());

  // A failed open does not stay registered: neither a directory nor a file
  // with another name elsewhere (whose content the annotation would
  // replace) is the lock, and neither is followed as a link.
  const std::string control = dir / "control";
  const std::string lock = control + "/target.lock";
  make_dirs(lock);
  expect_error(lock_target(dir_of(control)), ErrorKind::state_unavailable,
               "cannot open lock file " + lock);
  EXPECT_EQ(lock_target(dir_of(control)).error().cause, "Is a directory");
  ASSERT_EQ(::rmdir(lock.c_str()), 0);
  write_text(dir / "elsewhere", "keep");
  ASSERT_EQ(::link((dir / "elsewhere").c_str(), lock.c_str()), 0);
  EXPECT_EQ(lock_target(dir_of(control)).error().cause, "Invalid argument");
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  make_link(dir / "elsewhere", lock);
  EXPECT_EQ(lock_target(dir_of(control)).error().cause, "Too many levels of symbolic links");
  EXPECT_EQ(read_text(dir / "elsewhere"), "keep");
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  EXPECT_TRUE(lock_target(dir_of(control)).ok());
}

TEST(TargetLock, AnnotationReplacesTheContentAndOutlivesTheLock) {
  TempDir dir;
  const std::string lock_path = dir / "target.lock";
  write_text(lock_path, "velk-setup-system an-older-and-longer-operation");
  {
    Result<TargetLock> lock = lock_target(dir_of(dir.path()));
    ASSERT_TRUE(lock.ok());
    // Taking the lock does not truncate the last holder's note.
    EXPECT_EQ(read_text(lock_path), "velk-setup-system an-older-and-longer-operation");
    ASSERT_TRUE(annotate_lock(*lock, lock_annotation("install")).ok());
  }
  EXPECT_EQ(read_text(lock_path), "velk-setup-system install");
  TargetLock released;
  expect_error(annotate_lock(released, "x"), ErrorKind::state_unavailable, "cannot annotate ");
}

}  // namespace
}  // namespace velk
