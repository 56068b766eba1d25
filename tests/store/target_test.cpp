#include "store/target.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::TempDir;
using testing::exists;
using testing::make_dirs;
using testing::read_text;
using testing::write_text;

mode_t mode_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

void expect_invalid(const Result<Target>& result, const std::string& message) {
  ASSERT_FALSE(result.ok()) << message;
  EXPECT_EQ(result.error().kind, ErrorKind::invalid_target);
  EXPECT_EQ(result.error().message, message);
}

TEST(ValidateTarget, RefusesRelativeAndEmptyText) {
  expect_invalid(validate_target("relative/dir"), "target must be absolute, got relative/dir");
  expect_invalid(validate_target(""), "target must be absolute, got ");
}

TEST(ValidateTarget, RefusesMissingLinkedAndNonDirectoryTargets) {
  TempDir dir;
  const Result<Target> missing = validate_target(dir / "missing");
  expect_invalid(missing,
                 "target " + (dir / "missing") + " cannot be inspected: No such file or directory");
  EXPECT_EQ(missing.error().cause, "No such file or directory");

  make_dirs(dir / "real");
  ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  expect_invalid(validate_target(dir / "link"), "target " + (dir / "link") + " is a symbolic link");

  write_text(dir / "file", "");
  expect_invalid(validate_target(dir / "file"), "target " + (dir / "file") + " is not a directory");
}

TEST(ValidateTarget, ResolvesLinkedParentsAndRedundantComponents) {
  TempDir dir;
  make_dirs(dir / "real/target");
  ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "parent").c_str()), 0);

  const Result<Target> through_link = validate_target(dir / "parent/target");
  ASSERT_TRUE(through_link.ok()) << through_link.error().full();
  EXPECT_EQ(through_link->path, dir / "real/target");
  EXPECT_EQ(through_link->control_name, ".velk-setup-system");

  const Result<Target> untidy = validate_target(dir.path() + "//real/./target/");
  ASSERT_TRUE(untidy.ok());
  EXPECT_EQ(untidy->path, dir / "real/target");
}

TEST(OpenTargetStore, CreatesARestrictedControlDirectoryAndThePool) {
  TempDir dir;
  const Result<TargetStore> store = open_target_store(dir.path());
  ASSERT_TRUE(store.ok()) << store.error().full();
  EXPECT_EQ(store->target_path, dir.path());
  EXPECT_EQ(store->control_name, ".velk-setup-system");
  EXPECT_EQ(store->control_dir, dir / ".velk-setup-system");
  EXPECT_EQ(store->pool.dir, dir / ".velk-setup-system/backups");
  EXPECT_EQ(store->pool.capacity, 10u);
  EXPECT_EQ(mode_of(store->control_dir), 0700u);
  struct stat st;
  ASSERT_EQ(::lstat(store->pool.dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  // Opening again accepts what is there.
  ASSERT_TRUE(open_target_store(dir.path()).ok());
}

TEST(OpenTargetStore, LeavesTheModeOfAnExistingControlDirectory) {
  TempDir dir;
  make_dirs(dir / ".velk-setup-system");
  ASSERT_EQ(::chmod((dir / ".velk-setup-system").c_str(), 0755), 0);
  ASSERT_TRUE(open_target_store(dir.path()).ok());
  EXPECT_EQ(mode_of(dir / ".velk-setup-system"), 0755u);
  EXPECT_TRUE(exists(dir / ".velk-setup-system/backups"));
}

TEST(OpenTargetStore, RefusesAControlEntryThatIsNotAPlainDirectory) {
  TempDir dir;
  write_text(dir / "t/.velk-setup-system", "not a directory");
  const Result<TargetStore> file = open_target_store(dir / "t");
  ASSERT_FALSE(file.ok());
  EXPECT_EQ(file.error().kind, ErrorKind::invalid_target);
  EXPECT_EQ(file.error().message,
            (dir / "t/.velk-setup-system") + " exists but is not a plain directory");
  EXPECT_EQ(read_text(dir / "t/.velk-setup-system"), "not a directory");

  // A link to a directory is refused too, and nothing is created through it.
  make_dirs(dir / "u");
  make_dirs(dir / "elsewhere");
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "u/.velk-setup-system").c_str()), 0);
  const Result<TargetStore> link = open_target_store(dir / "u");
  ASSERT_FALSE(link.ok());
  EXPECT_EQ(link.error().message, (dir / "u/.velk-setup-system") + " exists but is not a plain directory");
  EXPECT_FALSE(exists(dir / "elsewhere/backups"));
}

TEST(OpenTargetStore, RefusesAPoolThatIsALink) {
  TempDir dir;
  make_dirs(dir / "t/.velk-setup-system");
  make_dirs(dir / "elsewhere");
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "t/.velk-setup-system/backups").c_str()), 0);
  const Result<TargetStore> store = open_target_store(dir / "t");
  ASSERT_FALSE(store.ok());
  EXPECT_EQ(store.error().kind, ErrorKind::state_unavailable);
  EXPECT_EQ(store.error().message,
            "cannot create the backup pool at " + (dir / "t/.velk-setup-system/backups"));
}

TEST(LocateTargetStore, CreatesNothing) {
  TempDir dir;
  const Result<TargetStore> store = locate_target_store(dir.path());
  ASSERT_TRUE(store.ok());
  EXPECT_EQ(store->control_dir, dir / ".velk-setup-system");
  EXPECT_EQ(store->pool.dir, dir / ".velk-setup-system/backups");
  EXPECT_FALSE(exists(store->control_dir));

  const Result<TargetStore> relative = locate_target_store("t");
  ASSERT_FALSE(relative.ok());
  EXPECT_EQ(relative.error().message, "target must be absolute, got t");
}

}  // namespace
}  // namespace velk
