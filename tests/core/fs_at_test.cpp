// Removal and writes relative to directory descriptors, attacked by someone who can
// write inside a target: a directory being emptied is swapped for a link to someone
// else's files mid-walk. And the staging every durable write shares.
#include "core/fs_at.h"

#include <sys/resource.h>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "support/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

constexpr int kDirs = 12;
constexpr int kKeys = 200;

std::string key(int i) { return "key" + std::to_string(i); }

void make_keys(const std::string& dir) {
  for (int i = 0; i < kKeys; ++i) write_text(dir + "/" + key(i), "", 0600);
}

int keys_left(const std::string& dir) {
  int left = 0;
  for (int i = 0; i < kKeys; ++i) left += ::access((dir + "/" + key(i)).c_str(), F_OK) == 0;
  return left;
}

// Once the walk has begun emptying a directory (some keys gone), swaps it for a
// link to the victim, whose files have the same names. Until it is killed.
[[noreturn]] void swap_for_links(const std::string& root, const std::string& victim,
                                 const std::string& aside) {
  for (long round = 0; round < 50'000'000; ++round) {
    const std::string dir = root + "/d" + std::to_string(round % kDirs);
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (::access((dir + "/key0").c_str(), F_OK) == 0 &&
        ::access((dir + "/key100").c_str(), F_OK) == 0 &&
        ::access((dir + "/key199").c_str(), F_OK) == 0)
      continue;
    const std::string moved = aside + "/m" + std::to_string(round);
    if (::rename(dir.c_str(), moved.c_str()) == 0) (void)!::symlink(victim.c_str(), dir.c_str());
  }
  _exit(0);
}

TEST(RemoveTree, ALinkSwappedInWhileATreeIsRemovedIsNeverFollowed) {
  // A walk that unlinks by path string loses the victim's keys in nearly
  // every attempt against this racer.
  for (int attempt = 0; attempt < 5; ++attempt) {
    SCOPED_TRACE(attempt);
    TempDir t;
    make_keys(t / "victim/.ssh");
    for (int d = 0; d < kDirs; ++d) {
      make_keys(t / ("target/skills/d" + std::to_string(d)));
      make_keys(t / ("target/skills/d" + std::to_string(d) + "/sub"));
    }
    make_dirs(t / "aside");

    const pid_t racer =
        spawn([&] { swap_for_links(t / "target/skills", t / "victim/.ssh", t / "aside"); });
    // Finished or stopped on the moving tree, it never reaches through a link.
    (void)remove_path(t / "target/skills");
    reap(racer, [] { return true; });
    EXPECT_EQ(keys_left(t / "victim/.ssh"), kKeys);
  }
}

TEST(RemoveTree, ATreeOfAnyDepthGoesWithFewDescriptorsOpen) {
  TempDir t;
  // Deeper than PATH_MAX allows a path to name, built one level at a time.
  constexpr int kDepth = 3000;
  {
    Fd fd(open_directory(t.path()));
    ASSERT_EQ(::mkdirat(fd.get(), "deep", 0777), 0);
    fd = Fd(open_directory_at(fd.get(), "deep"));
    for (int i = 0; i < kDepth; ++i) {
      ASSERT_EQ(::mkdirat(fd.get(), "d", 0777), 0);
      const int file = ::openat(fd.get(), "f", O_WRONLY | O_CREAT, 0644);
      ASSERT_GE(file, 0);
      ::close(file);
      fd = Fd(open_directory_at(fd.get(), "d"));
      ASSERT_GE(fd.get(), 0);
    }
  }
  // In a child held to 64 descriptors: the walk must not need one per level.
  const pid_t child = spawn([&] {
    const rlimit limit{64, 64};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    (void)remove_path(t / "deep");
  });
  EXPECT_EQ(reap(child), 0);
  EXPECT_FALSE(exists(t / "deep"));
}

TEST(RemoveTree, LinksAtAnyDepthAreUnlinkedAndWhatTheyNameStays) {
  TempDir t;
  write_text(t / "outside/keep", "keep");
  write_text(t / "tree/a/b/file", "f");
  make_link(t / "outside", t / "tree/a/b/to-dir");
  make_link(t / "outside/keep", t / "tree/to-file");
  make_link(t / "outside", t / "top-link");
  ASSERT_TRUE(remove_path(t / "tree").ok());
  ASSERT_TRUE(remove_path(t / "top-link").ok());
  EXPECT_FALSE(exists(t / "tree") || exists(t / "top-link"));
  EXPECT_EQ(read_text(t / "outside/keep"), "keep");

  // Below a root descriptor, a link in the parent chain means nothing is
  // there to remove: the path is never resolved through it.
  make_dirs(t / "root");
  make_link(t / "outside", t / "root/skills");
  Fd root(open_directory(t / "root"));
  EXPECT_EQ(remove_beneath(root.get(), "skills/keep"), 0);
  EXPECT_EQ(read_text(t / "outside/keep"), "keep");
  EXPECT_LT(open_directory_beneath(root.get(), "skills", true), 0);
  EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << errno;
}

TEST(ReplaceFile, ALinkAtTheNameIsReplacedAsAnEntry) {
  TempDir t;
  write_text(t / "outside", "keep");
  make_dirs(t / "d");
  make_link(t / "outside", t / "d/link");
  Fd dir(open_directory(t / "d"));
  ASSERT_TRUE(replace_file_at(dir.get(), "link", "over", 0755, t / "d/link").ok());
  EXPECT_EQ(read_text(t / "outside"), "keep");
  EXPECT_EQ(read_text(t / "d/link"), "over");
  EXPECT_EQ(mode_of(t / "d/link"), 0755u);
  EXPECT_EQ(list_directory(t / "d")->size(), 1u);  // no staging file is left
}

TEST(WriteFileAtomically, CreatesMissingDirectoriesAndLeavesNoStaging) {
  TempDir dir;
  const std::string destination = dir / "a/b/doc.json";
  ASSERT_TRUE(write_file_atomically(destination, "{\"x\":1}").ok());
  EXPECT_EQ(read_text(destination), "{\"x\":1}");
  EXPECT_FALSE(exists(dir / "a/b/.doc.json.staging"));
  const mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(mode_of(destination), 0666 & ~mask);

  // A staging file left by a crash is reused, and a shorter document
  // replaces a longer one whole.
  write_text(dir / "a/b/.doc.json.staging", "half-written leftover that is longer", 0600);
  ASSERT_TRUE(write_file_atomically(destination, "{}").ok());
  EXPECT_EQ(read_text(destination), "{}");
  EXPECT_FALSE(exists(dir / "a/b/.doc.json.staging"));
}

TEST(WriteFileAtomically, NeverWritesThroughWhatOccupiesTheStagingName) {
  TempDir dir;
  write_text(dir / "outside", "untouched");
  write_text(dir / "doc", "old");
  make_link(dir / "outside", dir / ".doc.staging");
  // A leftover link is removed, never opened.
  ASSERT_TRUE(write_file_atomically(dir / "doc", "payload").ok());
  EXPECT_EQ(read_text(dir / "outside"), "untouched");
  EXPECT_EQ(read_text(dir / "doc"), "payload");
  EXPECT_FALSE(exists(dir / ".doc.staging"));

  write_text(dir / ".doc.staging/x", "");
  const Status status = write_file_atomically(dir / "doc", "new");
  expect_error(status, ErrorKind::state_unavailable, "cannot stage " + (dir / ".doc.staging"));
  EXPECT_EQ(status.error().cause, "Is a directory");
  EXPECT_EQ(read_text(dir / "doc"), "payload");
}

TEST(WriteFileAtomically, FailedPromotionKeepsTheDestinationAndRemovesTheStaging) {
  TempDir dir;
  // A non-empty directory cannot be replaced by a file.
  write_text(dir / "doc/inner", "kept");
  const Status status = write_file_atomically(dir / "doc", "new");
  expect_error(status, ErrorKind::state_unavailable,
               "cannot promote " + (dir / ".doc.staging") + " to " + (dir / "doc"));
  EXPECT_TRUE(status.error().has_cause());
  EXPECT_EQ(read_text(dir / "doc/inner"), "kept");
  EXPECT_FALSE(exists(dir / ".doc.staging"));
}

}  // namespace
}  // namespace velk
