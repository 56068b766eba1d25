// `software` and `rollback` through the built program, on prefixes filled by
// real installs of the stand-in artifacts.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "consumer.h"
#include "core/fs.h"
#include "support/software_prefix.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using namespace velk::testing;

class SoftwareCommands : public ::testing::Test {
 protected:
  std::string P() const { return tmp_ / "prefix"; }
  std::string at(std::string_view relative) const { return path_join(P(), relative); }

  RunResult software() { return run_velk({"software", "--prefix", P()}); }
  RunResult rollback(const std::string& version) {
    return run_velk({"rollback", "--to", version, "--prefix", P()});
  }

  // What rollback may change, read back.
  std::string exposed_state() {
    return link_target(at("bin/velk")) + "|" + read_text(at("bin/.velk.version")) + "|" +
           read_text(at("bin/.velk.manifest.json"));
  }

  TempDir tmp_;
};

TEST_F(SoftwareCommands, ListsVersionsAndRollsBack) {
  expect_output(software(), "No version of velk is installed under " + P() + ".\n");
  EXPECT_FALSE(exists(P()));

  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  ASSERT_TRUE(install_version(P(), "1.0.13").ok());
  const std::string tail = "\n  Change it with:  rollback --to <version> --prefix " + P() + "\n";
  expect_output(software(), "velk under " + P() + ":\n\n  * 1.0.13\n    1.0.18\n\n  " +
                                at("bin/velk") + " runs 1.0.13" + tail);

  expect_output(rollback("1.0.18"),
                at("bin/velk") + " now runs 1.0.18.\n"
                                 "  it ran 1.0.13 before this, and that tree is still here\n");
  EXPECT_EQ(link_target(at("bin/velk")), at("1.0.18/velk"));
  EXPECT_EQ(read_text(at("bin/.velk.version")), "1.0.18");
  EXPECT_EQ(read_text(at("bin/.velk.manifest.json")),
            installation_record("1.0.18", "1.0.18/velk",
                                testing::planned_software("1.0.18").build.sha256));
  EXPECT_EQ(read_text(at(".velk-setup-system/target.lock")), "velk-setup-system rollback");
  expect_output(software(), "velk under " + P() + ":\n\n    1.0.13\n  * 1.0.18\n\n  " +
                                at("bin/velk") + " runs 1.0.18" + tail);

  const std::string before = exposed_state();
  expect_output(rollback("1.0.18"), at("bin/velk") + " already runs 1.0.18; nothing to do.\n");
  EXPECT_EQ(exposed_state(), before);
  EXPECT_FALSE(exists(at("bin/.velk.version.incoming")));

  // Nothing exposed: the marker names no installed version.
  write_text(at("bin/.velk.version"), "0.1");
  expect_output(software(), "velk under " + P() + ":\n\n    1.0.13\n    1.0.18\n\n"
                            "  Nothing is exposed: " + at("bin/velk") +
                                " names no installed version." + tail);
  // Exposing from nothing prints no earlier version.
  expect_output(rollback("1.0.13"), at("bin/velk") + " now runs 1.0.13.\n");
}

TEST_F(SoftwareCommands, RollbackReplacesAPlainFileAtTheCommand) {
  ASSERT_TRUE(install_version(P(), "1.0.13").ok());
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  ASSERT_EQ(::unlink(at("bin/velk").c_str()), 0);
  write_text(at("bin/velk"), "not a link", 0755);
  expect_output(rollback("1.0.13"),
                at("bin/velk") + " now runs 1.0.13.\n"
                                 "  it ran 1.0.18 before this, and that tree is still here\n");
  EXPECT_EQ(link_target(at("bin/velk")), at("1.0.13/velk"));
}

TEST_F(SoftwareCommands, RollbackRefusals) {
  expect_failure(run_velk({"rollback", "--prefix", P()}),
                 "rollback requires --to <version>, and " + P() + " holds none");
  expect_failure(rollback("1.0.18"), P() + " holds no installed version of velk");
  EXPECT_FALSE(exists(P()));

  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  make_dirs(at("0.9"));
  expect_failure(run_velk({"rollback", "--prefix", P()}),
                 "rollback requires --to <version>; " + P() + " holds 0.9, 1.0.18");
  expect_failure(rollback("1.0.13"), "1.0.13 is not installed under " + P() + "; it holds 0.9, 1.0.18");

}

TEST_F(SoftwareCommands, RollbackWaitsForNoSoftwareOperation) {
  ASSERT_TRUE(install_version(P(), "1.0.13").ok());
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  const std::string before = exposed_state();
  const std::string lock_path = at(".velk-setup-system/target.lock");
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  expect_failure(rollback("1.0.13"), "another process holds " + lock_path);
  EXPECT_EQ(exposed_state(), before);
  // Reading takes no lock.
  EXPECT_EQ(software().exit_code, 0);
  ::close(fd);
  EXPECT_EQ(rollback("1.0.13").exit_code, 0);
}

}  // namespace
}  // namespace velk
