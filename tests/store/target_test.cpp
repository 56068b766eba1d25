#include "store/target.h"

#include <sys/stat.h>

#include "core/fs.h"
#include "support/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

// A relative path, a missing one and a file are refused end to end
// (CommandLine.RefusalsGoToTheStreamOfTheCommandTheyAnswer).
TEST(ValidateTarget, ResolvesLinkedParentsButRefusesALinkOrARelativePath) {
  TempDir dir;
  make_dirs(dir / "real/target");
  make_link(dir / "real", dir / "parent");
  for (const std::string& text : {dir / "parent/target", dir.path() + "//real/./target/"}) {
    const Result<Target> target = validate_target(text);
    ASSERT_TRUE(target.ok()) << target.error().full();
    EXPECT_EQ(target->path, dir / "real/target");
  }
  expect_error(validate_target(""), ErrorKind::invalid_target, "target must be absolute, got ");
  expect_error(validate_target(dir / "parent"), ErrorKind::invalid_target,
               "target " + (dir / "parent") + " is a symbolic link");
}

TEST(TargetStore, LocatingCreatesNothingAndOpeningMakesARestrictedControlDirectory) {
  TempDir dir;
  const Result<TargetStore> located = locate_target_store(dir.path());
  ASSERT_TRUE(located.ok());
  EXPECT_FALSE(exists(located->control_dir));
  expect_error(locate_target_store("t"), ErrorKind::invalid_target,
               "target must be absolute, got t");

  const Result<TargetStore> store = open_target_store(dir.path());
  ASSERT_TRUE(store.ok()) << store.error().full();
  EXPECT_EQ(located->control_dir + located->pool.path, store->control_dir + store->pool.path);
  EXPECT_EQ(mode_of(store->control_dir), 0700u);
  EXPECT_TRUE(S_ISDIR(lstat_path(store->pool.path)->st_mode));

  // An existing control directory is accepted with its mode, and the pool made in it.
  ASSERT_TRUE(remove_path(store->pool.path).ok());
  ASSERT_EQ(::chmod(store->control_dir.c_str(), 0755), 0);
  ASSERT_TRUE(open_target_store(dir.path()).ok());
  EXPECT_EQ(mode_of(store->control_dir), 0755u);
  EXPECT_TRUE(exists(store->pool.path));
}

TEST(OpenTargetStore, RefusesAControlDirectoryOrPoolThatIsNoPlainDirectory) {
  TempDir dir;
  make_dirs(dir / "elsewhere");
  write_text(dir / "file/.velk-setup-system", "not a directory");
  make_dirs(dir / "link");
  make_link(dir / "elsewhere", dir / "link/.velk-setup-system");
  make_dirs(dir / "pool/.velk-setup-system");
  make_link(dir / "elsewhere", dir / "pool/.velk-setup-system/backups");
  for (const std::string t : {"file", "link"}) {
    expect_error(open_target_store(dir / t), ErrorKind::invalid_target,
                 (dir / t) + "/.velk-setup-system exists but is not a plain directory");
  }
  expect_error(open_target_store(dir / "pool"), ErrorKind::state_unavailable,
               "cannot create the backup pool at " + (dir / "pool/.velk-setup-system/backups"));
  EXPECT_EQ(read_text(dir / "file/.velk-setup-system"), "not a directory");
  EXPECT_FALSE(exists(dir / "elsewhere/backups"));  // nothing made through a link
}

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
