#include "core/atomic_write.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::TempDir;
using testing::exists;
using testing::make_dirs;
using testing::read_text;
using testing::write_text;

mode_t current_umask() {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

TEST(WriteFileAtomically, CreatesMissingDirectoriesAndLeavesNoStaging) {
  TempDir dir;
  const std::string destination = dir / "a/b/doc.json";
  ASSERT_TRUE(write_file_atomically(destination, "{\"x\":1}").ok());
  EXPECT_EQ(read_text(destination), "{\"x\":1}");
  EXPECT_FALSE(exists(dir / "a/b/.doc.json.staging"));
  struct stat st;
  ASSERT_EQ(::stat(destination.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~current_umask());

  // A staging file left by a crash is reused, and a shorter document
  // replaces a longer one whole.
  write_text(dir / "a/b/.doc.json.staging", "half-written leftover that is longer", 0600);
  ASSERT_TRUE(write_file_atomically(destination, "{}").ok());
  EXPECT_EQ(read_text(destination), "{}");
  EXPECT_FALSE(exists(dir / "a/b/.doc.json.staging"));
}

TEST(WriteFileAtomically, NeverWritesThroughALinkAtTheStagingName) {
  TempDir dir;
  const std::string outside = dir / "outside";
  write_text(outside, "untouched");
  make_dirs(dir / "store");
  ASSERT_EQ(::symlink(outside.c_str(), (dir / "store/.doc.staging").c_str()), 0);

  const Status first = write_file_atomically(dir / "store/doc", "payload");
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().message, "cannot stage " + (dir / "store/.doc.staging"));
  EXPECT_EQ(read_text(outside), "untouched");
  // The link was cleared with the failed staging, so the next write goes through.
  EXPECT_FALSE(exists(dir / "store/.doc.staging"));
  ASSERT_TRUE(write_file_atomically(dir / "store/doc", "payload").ok());
  EXPECT_EQ(read_text(dir / "store/doc"), "payload");
  EXPECT_EQ(read_text(outside), "untouched");
}

TEST(WriteFileAtomically, FailedPromotionKeepsTheDestinationAndRemovesTheStaging) {
  TempDir dir;
  // A non-empty directory cannot be replaced by a file.
  write_text(dir / "doc/inner", "kept");
  const Status status = write_file_atomically(dir / "doc", "new");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind, ErrorKind::state_unavailable);
  EXPECT_EQ(status.error().message,
            "cannot promote " + (dir / ".doc.staging") + " to " + (dir / "doc"));
  EXPECT_TRUE(status.error().has_cause());
  EXPECT_EQ(read_text(dir / "doc/inner"), "kept");
  EXPECT_FALSE(exists(dir / ".doc.staging"));
}

TEST(WriteFileAtomically, FailedStagingKeepsTheDestination) {
  TempDir dir;
  write_text(dir / "doc", "old");
  // Something that is not a file occupies the staging name.
  write_text(dir / ".doc.staging/x", "");
  const Status status = write_file_atomically(dir / "doc", "new");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind, ErrorKind::state_unavailable);
  EXPECT_EQ(status.error().message, "cannot stage " + (dir / ".doc.staging"));
  EXPECT_EQ(status.error().cause, "Is a directory");
  EXPECT_EQ(read_text(dir / "doc"), "old");
}

TEST(WriteFileAtomically, RefusesDestinationsWithoutParentOrNameOrCreatableParent) {
  for (const std::string& destination : std::vector<std::string>{"", "/", "///"}) {
    const Status status = write_file_atomically(destination, "x");
    ASSERT_FALSE(status.ok()) << destination;
    EXPECT_EQ(status.error().message, destination + " has no parent directory");
    EXPECT_EQ(status.error().kind, ErrorKind::state_unavailable);
    EXPECT_FALSE(status.error().has_cause());
  }
  TempDir dir;
  for (const std::string& destination : {dir / "..", dir / "a/.", dir / "bad\xff"}) {
    const Status status = write_file_atomically(destination, "x");
    ASSERT_FALSE(status.ok()) << destination;
    EXPECT_EQ(status.error().message, destination + " has no usable file name");
  }
  EXPECT_FALSE(exists(dir / "a"));

  write_text(dir / "file", "plain");
  const Status status = write_file_atomically(dir / "file/sub/doc", "x");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "cannot create " + (dir / "file/sub"));
  EXPECT_TRUE(status.error().has_cause());
  EXPECT_EQ(read_text(dir / "file"), "plain");
}

}  // namespace
}  // namespace velk
