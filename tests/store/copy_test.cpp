#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

#include "core/fs_at.h"
#include "store/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

// The whole tree of `from` into `to` (made first), as a capture copies.
Status copy_tree(const std::string& from, const std::string& to) {
  return copy_tree_at(dir_of(from).fd(), from, dir_of(to).fd(), to);
}

TEST(CopyTree, CopiesBytesAndPermissionBitsButNeverSetIdOrSticky) {
  TempDir t;
  std::mt19937 generator(7);
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (auto& c : big) c = static_cast<char>(generator());
  write_text(t / "src/run.sh", "#!/bin/sh\n", 0755);
  write_text(t / "src/a/b/empty", "", 0640);
  write_text(t / "src/a/big.bin", big, 0444);
  write_text(t / "src/a/sticky", "s", 01700);
  write_text(t / "src/a/setuid", "u", 04755);
  write_text(t / "src/a/setgid", "g", 02750);
  make_dirs(t / "src/empty-dir");

  auto copied = copy_tree(t / "src", t / "dst/deeper");
  ASSERT_TRUE(copied.ok()) << copied.error().full();
  EXPECT_EQ(read_text(t / "dst/deeper/run.sh"), "#!/bin/sh\n");
  EXPECT_EQ(read_text(t / "dst/deeper/a/big.bin"), big);
  EXPECT_EQ(read_text(t / "dst/deeper/a/b/empty"), "");
  EXPECT_TRUE(exists(t / "dst/deeper/empty-dir"));
  for (const auto& [path, mode] : {std::pair{"run.sh", 0755u}, {"a/b/empty", 0640u},
                                   {"a/big.bin", 0444u}, {"a/sticky", 0700u},
                                   {"a/setuid", 0755u}, {"a/setgid", 0750u}})
    EXPECT_EQ(mode_of(t / "dst/deeper/" + std::string(path)), mode) << path;
}

TEST(CopyTree, RefusesSocketsFifosLinksAndUnrepresentableNames) {
  TempDir t;
  make_dirs(t / "socket");
  make_socket(t / "socket/s");
  expect_error(copy_tree(t / "socket", t / "out1"), ErrorKind::state_unavailable,
               "cannot copy " + (t / "socket/s") + " to " + (t / "out1/s"));

  make_dirs(t / "fifo");
  ASSERT_EQ(::mkfifo((t / "fifo/pipe").c_str(), 0644), 0);
  expect_returns_promptly(t / "fifo/pipe", [&] {
    expect_error(copy_tree(t / "fifo", t / "out2"), ErrorKind::state_unavailable,
                 "cannot copy " + (t / "fifo/pipe") + " to " + (t / "out2/pipe"));
  });
  EXPECT_FALSE(exists(t / "out2/pipe"));

  write_text(t / "link/d/real", "r");
  make_link("real", t / "link/d/ln");
  expect_error(copy_tree(t / "link", t / "out3"), ErrorKind::integrity_mismatch,
               (t / "link/d/ln") + " is a symbolic link and is not captured");

  write_text(t / "name/bad\xff", "b");
  expect_error(copy_tree(t / "name", t / "out4"), ErrorKind::state_unavailable,
               (t / "name/bad\xff") + " has a name this kernel cannot represent");
}

TEST(CopyTree, NeverWritesThroughAnEntryAlreadyAtTheDestination) {
  TempDir t;
  write_text(t / "src/run.sh", "new");
  write_text(t / "outside", "keep");
  make_dirs(t / "dst");
  make_link(t / "outside", t / "dst/run.sh");
  expect_error(copy_tree(t / "src", t / "dst"), ErrorKind::state_unavailable,
               "cannot copy " + (t / "src/run.sh") + " to " + (t / "dst/run.sh"));
  EXPECT_EQ(read_text(t / "outside"), "keep");
}

}  // namespace
}  // namespace velk
