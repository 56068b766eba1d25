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
using testing::read_text;
using testing::write_text;

TEST(WriteFileAtomically, CreatesMissingDirectoriesAndLeavesNoStaging) {
  TempDir dir;
  const std::string destination = dir / "a/b/doc.json";
  ASSERT_TRUE(write_file_atomically(destination, "{\"x\":1}").ok());
  EXPECT_EQ(read_text(destination), "{\"x\":1}");
  EXPECT_FALSE(exists(dir / "a/b/.doc.json.staging"));
  const mode_t mask = ::umask(022);
  ::umask(mask);
  struct stat st;
  ASSERT_EQ(::stat(destination.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  // A staging file left by a crash is reused, and a shorter document
  // replaces a longer one whole.
  write_text(dir / "a/b/.doc.json.staging", "half-written leftover that is longer", 0600);
  ASSERT_TRUE(write_file_atomically(destination, "{}").ok());
  EXPECT_EQ(read_text(destination), "{}");
  EXPECT_FALSE(exists(dir / "a/b/.doc.json.staging"));
}

// Whatever occupies the staging name is never written through: a link to a
// file outside, or a directory, fails the write and leaves the destination.
TEST(WriteFileAtomically, NeverWritesThroughWhatOccupiesTheStagingName) {
  TempDir dir;
  write_text(dir / "outside", "untouched");
  write_text(dir / "doc", "old");
  ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / ".doc.staging").c_str()), 0);
  // The leftover link is removed, never opened: the write goes through and
  // what the link named stays as it was.
  ASSERT_TRUE(write_file_atomically(dir / "doc", "payload").ok());
  EXPECT_EQ(read_text(dir / "outside"), "untouched");
  EXPECT_EQ(read_text(dir / "doc"), "payload");
  EXPECT_FALSE(exists(dir / ".doc.staging"));

  write_text(dir / ".doc.staging/x", "");
  const Status status = write_file_atomically(dir / "doc", "new");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind, ErrorKind::state_unavailable);
  EXPECT_EQ(status.error().message, "cannot stage " + (dir / ".doc.staging"));
  EXPECT_EQ(status.error().cause, "Is a directory");
  EXPECT_EQ(read_text(dir / "doc"), "payload");
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
