// The program directory through the library with the real stand-in artifacts:
// what each operation leaves on disk, artifact checks, repair, the prefix lock.
#include <sys/file.h>

#include <cstdio>

#include "core/digest.h"
#include "core/json.h"
#include "extract_fixture.h"

namespace velk::testing {
namespace {

// A prefix holding 1.0.18 alone, exposed.
const Lines kInstalled = {".velk-setup-system/", ".velk-setup-system/target.lock", "1.0.18/",
                          "1.0.18/velk", "bin/", "bin/.velk.manifest.json", "bin/.velk.version",
                          "bin/velk"};

class ProgramDir : public PrefixTest {
 protected:
  Result<SoftwareApplyResult> apply(Operation op, std::string_view version, const Lines& artifacts) {
    return apply_software_operation(op, P(), planned_software(version), artifacts);
  }
};

// (The answer's document is compared by the protocol guide's session.)
TEST_F(ProgramDir, InstallPlacesTreeLinkMarkerAndExactRecord) {
  auto result = install_version(P(), "1.0.18");
  ASSERT_TRUE(result.ok()) << result.error().full();
  const std::string program = at("1.0.18/velk");
  EXPECT_EQ(read_text(program), read_text(host_artifact("1.0.18")));
  EXPECT_EQ(mode_of(program), 0755u);
  EXPECT_EQ(link_target(at("bin/velk")), program);
  EXPECT_EQ(read_text(at("bin/.velk.version")), "1.0.18");
  EXPECT_EQ(read_text(at("bin/.velk.manifest.json")),
            "{\"schema_version\":1,\"version\":\"1.0.18\",\"executable\":\"1.0.18/velk\","
            "\"executable_sha256\":\"" +
                planned_software("1.0.18").build.sha256 + "\"}");
  EXPECT_EQ(tree_listing(P()), kInstalled);
  EXPECT_EQ(read_text(at(".velk-setup-system/target.lock")),
            "velk-setup-system software_install");
}

TEST_F(ProgramDir, ReinstallReplacesTheTreeAndUpdateNeedsOne) {
  expect_error(apply(Operation::software_update, "1.0.18", {host_artifact("1.0.18")}),
                 ErrorKind::state_unavailable,
                 "there is no velk under " + P() +
                     " to update any more; software_install is the operation that puts one "
                     "there");
  EXPECT_FALSE(exists(at("1.0.18")));

  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  write_text(at("1.0.18/stray"), "left by hand");
  auto update = apply(Operation::software_update, "1.0.18", {host_artifact("1.0.18")});
  ASSERT_TRUE(update.ok()) << update.error().full();
  EXPECT_EQ(update->operation, Operation::software_update);
  EXPECT_EQ(update->files, 1u);
  EXPECT_EQ(tree_listing(P()), kInstalled);
}

TEST_F(ProgramDir, ArtifactMustBeThePlannedBytes) {
  const std::string full = read_text(host_artifact("1.0.18"));
  const std::string copy = tmp_ / "download";
  // One byte short: refused on its length before anything is hashed.
  write_text(copy, full.substr(0, full.size() - 1));
  expect_error(apply(Operation::software_install, "1.0.18", {copy}),
                 ErrorKind::integrity_mismatch,
                 copy + " is " + std::to_string(full.size() - 1) + " bytes; the plan named " +
                     std::to_string(full.size()));

  std::string changed = full;
  changed[changed.size() / 2] ^= 0x01;
  write_text(copy, changed);
  auto wrong = apply(Operation::software_install, "1.0.18", {copy});
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().kind, ErrorKind::integrity_mismatch);
  EXPECT_TRUE(wrong.error().message.starts_with(
      "the artifact given is not a velk release this build names: it hashes to " +
      digest_file(copy).value()))
      << wrong.error().message;

  // A pinned release, but not the planned one (the stand-ins share a length).
  const std::string other = host_artifact("1.0.13");
  ASSERT_EQ(read_text(other).size(), full.size());
  expect_error(apply(Operation::software_install, "1.0.18", {other}),
                 ErrorKind::integrity_mismatch,
                 other + " hashes to " + planned_software("1.0.13").build.sha256 +
                     "; the plan named " + planned_software("1.0.18").build.sha256);

  EXPECT_EQ(tree_listing(P()), (Lines{".velk-setup-system/", ".velk-setup-system/target.lock"}));
}

TEST_F(ProgramDir, ArtifactCountsAreCheckedBeforeThePrefixIsTouched) {
  expect_error(apply(Operation::software_install, "1.0.18", {}), ErrorKind::state_unavailable,
                 "software_install installs the 1 artifact the plan named, and 0 were given; "
                 "pass one --software-artifact per entry, in the plan's order");
  const std::string a = host_artifact("1.0.18");
  expect_error(apply(Operation::software_remove, "1.0.18", {a}), ErrorKind::state_unavailable,
                 "software_remove downloads nothing, so it takes no --software-artifact");
  EXPECT_FALSE(exists(P()));

  const auto no_prefix = apply_software_operation(Operation::software_install, std::nullopt,
                                                  planned_software("1.0.18"), {a});
  expect_error(no_prefix, ErrorKind::state_unavailable,
                 "software_install installs a program, which lives under --prefix, not under "
                 "--target; name an absolute --prefix");
}

TEST_F(ProgramDir, RemoveOfTheExposedVersionTakesCommandAndMarkerKeepsRecord) {
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  const std::string record = read_text(at("bin/.velk.manifest.json"));
  auto removed = apply(Operation::software_remove, "1.0.18", {});
  ASSERT_TRUE(removed.ok()) << removed.error().full();
  EXPECT_EQ(tree_listing(P()), (Lines{".velk-setup-system/", ".velk-setup-system/target.lock",
                                      "bin/", "bin/.velk.manifest.json"}));
  EXPECT_EQ(read_text(at("bin/.velk.manifest.json")), record);
  EXPECT_EQ(compact_json(software_apply_document(*removed)),
            "{\"state\":\"verified\",\"recovered\":[],\"operation\":\"software_remove\","
            "\"command\":\"velk\",\"version\":\"1.0.18\",\"removed\":true}");

  EXPECT_FALSE(apply(Operation::software_remove, "1.0.18", {})->removed);
}

TEST_F(ProgramDir, InterruptedRunsAreRepairedFirst) {
  const std::string staged_note =
      "an install of 1.0.18 was interrupted before it landed; the staged tree is gone and "
      "whatever was installed is untouched";

  // Died while staging.
  write_text(at(".incoming-1.0.18/velk"), "partial");
  auto first = install_version(P(), "1.0.13");
  ASSERT_TRUE(first.ok()) << first.error().full();
  EXPECT_EQ(first->recovered, Lines{staged_note});
  EXPECT_FALSE(exists(at(".incoming-1.0.18")));
  EXPECT_FALSE(exists(at("1.0.18")));
  EXPECT_EQ(link_target(at("bin/velk")), at("1.0.13/velk"));

  // Died between stepping aside and landing.
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  write_text(at("1.0.18/mark"), "the installed tree");
  ASSERT_EQ(std::rename(at("1.0.18").c_str(), at(".replaced-1.0.18").c_str()), 0);
  write_text(at(".incoming-1.0.18/velk"), "staged");
  auto second = apply(Operation::software_remove, "1.0.13", {});
  ASSERT_TRUE(second.ok()) << second.error().full();
  EXPECT_EQ(second->recovered,
            (Lines{staged_note,
                   "an install of 1.0.18 failed after the installed tree stepped aside; it is back"}));
  EXPECT_EQ(read_text(at("1.0.18/mark")), "the installed tree");
  EXPECT_FALSE(exists(at(".replaced-1.0.18")));
  // The tree of a version that is not exposed goes; the command stays.
  EXPECT_TRUE(second->removed);
  EXPECT_FALSE(exists(at("1.0.13")));
  EXPECT_EQ(link_target(at("bin/velk")), at("1.0.18/velk"));
  EXPECT_EQ(read_text(at("bin/.velk.version")), "1.0.18");

  // Died after landing, before the cleanup; and a half-written file.
  write_text(at(".replaced-1.0.18/velk"), "old");
  write_text(at("notes.incoming"), "half");
  auto third = apply(Operation::software_update, "1.0.18", {host_artifact("1.0.18")});
  ASSERT_TRUE(third.ok()) << third.error().full();
  EXPECT_EQ(third->recovered, (Lines{"an install of 1.0.18 landed and its cleanup did not; the new "
                                     "tree is in place and the old one is gone",
                                     "a half-written notes.incoming was cleared"}));
  EXPECT_FALSE(exists(at(".replaced-1.0.18")));
  EXPECT_FALSE(exists(at("notes.incoming")));
  EXPECT_EQ(tree_listing(at("1.0.18")), Lines{"velk"});

  EXPECT_TRUE(apply(Operation::software_remove, "1.0.13", {})->recovered.empty());
}

// A sibling left by an interrupted write (here a link) is replaced, never written through.
TEST_F(ProgramDir, TheMarkerGoesThroughASiblingNeverFollowedAndFailuresNameTheStep) {
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  write_text(tmp_ / "elsewhere", "untouched");
  ASSERT_EQ(::symlink((tmp_ / "elsewhere").c_str(), at("bin/.velk.version.incoming").c_str()), 0);
  ASSERT_TRUE(expose_version(dir_of(P()), "1.0.18").ok());
  EXPECT_EQ(read_text(at("bin/.velk.version")), "1.0.18");
  EXPECT_EQ(read_text(tmp_ / "elsewhere"), "untouched");
  EXPECT_FALSE(exists(at("bin/.velk.version.incoming")));

  std::filesystem::remove(at("bin/.velk.version"));
  std::filesystem::create_directories(at("bin/.velk.version/kept"));
  auto replaced = expose_version(dir_of(P()), "1.0.18");
  ASSERT_FALSE(replaced.ok());
  EXPECT_EQ(replaced.error().message,
            at("bin/velk") + " could not be exposed: cannot replace " + at("bin/.velk.version") +
                " with " + at("bin/.velk.version.incoming") + ": Is a directory");
  EXPECT_FALSE(exists(at("bin/.velk.version.incoming")));

  std::filesystem::remove_all(at("bin/.velk.version"));
  std::filesystem::create_directories(at("bin/.velk.version.incoming/kept"));
  auto staged = expose_version(dir_of(P()), "1.0.18");
  ASSERT_FALSE(staged.ok());
  EXPECT_EQ(staged.error().message, at("bin/velk") + " could not be exposed: cannot write " +
                                        at("bin/.velk.version.incoming") + ": Is a directory");
  EXPECT_TRUE(exists(at("bin/.velk.version.incoming/kept")));
}

TEST_F(ProgramDir, TwoOperationsOnOnePrefixExcludeEachOther) {
  make_dirs(at(".velk-setup-system"));
  // Held through another open file description, as another process would.
  const std::string lock_path = at(".velk-setup-system/target.lock");
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  expect_error(install_version(P(), "1.0.18"), ErrorKind::lock_unavailable,
                 "another process holds " + lock_path);
  EXPECT_EQ(tree_listing(P()), (Lines{".velk-setup-system/", ".velk-setup-system/target.lock"}));
  ::close(fd);
  EXPECT_TRUE(install_version(P(), "1.0.18").ok());
}

TEST_F(ProgramDir, InventoryCountsOnlyVersionTreesAndAnInstalledMarker) {
  for (const char* dir : {"b", "B", "bin", ".hidden"}) make_dirs(at(dir));
  write_text(at("file"), "");
  ASSERT_EQ(::symlink(at("b").c_str(), at("linked").c_str()), 0);
  write_text(at("bin/.velk.version"), "gone");
  auto inventory = take_inventory(P());
  ASSERT_TRUE(inventory.ok());
  EXPECT_EQ(inventory->installed, (Lines{"B", "b"}));
  EXPECT_FALSE(inventory->exposed.has_value());
  write_text(at("bin/.velk.version"), "b");
  EXPECT_EQ(take_inventory(P())->exposed, "b");
}

}  // namespace
}  // namespace velk::testing
