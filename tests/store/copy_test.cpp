#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

#include "store/identity.h"
#include "store/tree_helpers.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::exists;
using testing::make_dirs;
using testing::make_fifo;
using testing::make_link;
using testing::make_socket;
using testing::mode_of;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

std::string random_bytes(size_t size) {
  std::mt19937 generator(7);
  std::string out(size, '\0');
  for (auto& c : out) c = static_cast<char>(generator());
  return out;
}

TEST(CopyTree, CopiesContentAndPermissionBits) {
  TempDir t;
  const std::string big = random_bytes(3 * 1024 * 1024 + 17);
  write_text(t / "src/run.sh", "#!/bin/sh\n", 0755);
  write_text(t / "src/private", "p", 0600);
  write_text(t / "src/a/b/empty", "", 0640);
  write_text(t / "src/a/big.bin", big, 0444);
  write_text(t / "src/a/sticky", "s", 01755);
  make_dirs(t / "src/empty-dir");

  auto copied = copy_tree(t / "src", t / "dst/deeper");
  ASSERT_TRUE(copied.ok()) << copied.error().full();
  EXPECT_EQ(read_text(t / "dst/deeper/run.sh"), "#!/bin/sh\n");
  EXPECT_EQ(read_text(t / "dst/deeper/a/big.bin"), big);
  EXPECT_EQ(read_text(t / "dst/deeper/a/b/empty"), "");
  EXPECT_TRUE(exists(t / "dst/deeper/empty-dir"));
  EXPECT_EQ(mode_of(t / "dst/deeper/run.sh"), 0755u);
  EXPECT_EQ(mode_of(t / "dst/deeper/private"), 0600u);
  EXPECT_EQ(mode_of(t / "dst/deeper/a/b/empty"), 0640u);
  EXPECT_EQ(mode_of(t / "dst/deeper/a/big.bin"), 0444u);
  EXPECT_EQ(mode_of(t / "dst/deeper/a/sticky"), 01755u);
}

TEST(CopyTree, RefusesASocketNamingIt) {
  TempDir t;
  make_dirs(t / "src");
  make_socket(t / "src/s");
  auto copied = copy_tree(t / "src", t / "dst");
  ASSERT_FALSE(copied.ok());
  EXPECT_EQ(copied.error().kind, ErrorKind::state_unavailable);
  EXPECT_EQ(copied.error().message, "cannot copy " + (t / "src/s") + " to " + (t / "dst/s"));
  EXPECT_TRUE(copied.error().has_cause());
}

TEST(CopyTree, RefusesAFifoWithoutWaitingForAWriter) {
  TempDir t;
  make_dirs(t / "src");
  make_fifo(t / "src/pipe");
  testing::expect_returns_promptly(t / "src/pipe", [&] {
    auto copied = copy_tree(t / "src", t / "dst");
    ASSERT_FALSE(copied.ok());
    EXPECT_EQ(copied.error().message,
              "cannot copy " + (t / "src/pipe") + " to " + (t / "dst/pipe"));
  });
  EXPECT_FALSE(exists(t / "dst/pipe"));
}

TEST(CopyTree, RefusesALink) {
  TempDir t;
  write_text(t / "src/d/real", "r");
  make_link("real", t / "src/d/ln");
  auto copied = copy_tree(t / "src", t / "dst");
  ASSERT_FALSE(copied.ok());
  EXPECT_EQ(copied.error().kind, ErrorKind::integrity_mismatch);
  EXPECT_EQ(copied.error().message, (t / "src/d/ln") + " is a symbolic link and is not captured");
  EXPECT_FALSE(exists(t / "dst/d/ln"));
}

TEST(CopyTree, RefusesANameThatIsNotUtf8) {
  TempDir t;
  write_text(t / "src/bad\xff", "b");
  auto copied = copy_tree(t / "src", t / "dst");
  ASSERT_FALSE(copied.ok());
  EXPECT_EQ(copied.error().message, (t / "src/bad\xff") + " has a name this kernel cannot represent");
}

TEST(CopyFile, ReplacesAnExistingFileButNeverWritesThroughALink) {
  TempDir t;
  write_text(t / "from", "new", 0700);
  write_text(t / "to", "a much longer old content", 0644);
  ASSERT_TRUE(copy_file(t / "from", t / "to").ok());
  EXPECT_EQ(read_text(t / "to"), "new");
  EXPECT_EQ(testing::mode_of(t / "to"), 0700u);

  write_text(t / "outside", "keep");
  make_link(t / "outside", t / "via-link");
  auto copied = copy_file(t / "from", t / "via-link");
  ASSERT_FALSE(copied.ok());
  EXPECT_EQ(copied.error().message, "cannot copy " + (t / "from") + " to " + (t / "via-link"));
  EXPECT_EQ(read_text(t / "outside"), "keep");
}

}  // namespace
}  // namespace velk
