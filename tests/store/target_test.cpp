#include "store/target.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/fs.h"
#include "store/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

TEST(ValidateTarget, RefusesWhatIsNoAbsolutePathOfADirectory) {
  TempDir dir;
  make_dirs(dir / "real");
  make_link(dir / "real", dir / "link");
  write_text(dir / "file", "");
  const std::pair<std::string, std::string> cases[] = {
      {"relative/dir", "target must be absolute, got relative/dir"},
      {"", "target must be absolute, got "},
      {dir / "missing",
       "target " + (dir / "missing") + " cannot be inspected: No such file or directory"},
      {dir / "link", "target " + (dir / "link") + " is a symbolic link"},
      {dir / "file", "target " + (dir / "file") + " is not a directory"},
  };
  for (const auto& [text, message] : cases) {
    expect_error(validate_target(text), ErrorKind::invalid_target, message);
  }
  EXPECT_EQ(validate_target(dir / "missing").error().cause, "No such file or directory");
}

TEST(ValidateTarget, ResolvesLinkedParentsAndRedundantComponents) {
  TempDir dir;
  make_dirs(dir / "real/target");
  make_link(dir / "real", dir / "parent");
  for (const std::string& text : {dir / "parent/target", dir.path() + "//real/./target/"}) {
    const Result<Target> target = validate_target(text);
    ASSERT_TRUE(target.ok()) << target.error().full();
    EXPECT_EQ(target->path, dir / "real/target");
  }
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

}  // namespace
}  // namespace velk
