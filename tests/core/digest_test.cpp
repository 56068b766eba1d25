#include "core/digest.h"

#include <algorithm>

#include "core/fs.h"
#include "support/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

std::string tree_digest(const std::string& dir) {
  auto digest = digest_tree(dir);
  EXPECT_TRUE(digest.ok()) << (digest.ok() ? "" : digest.error().full());
  return digest.ok() ? digest.value() : "";
}

// The records below `dir`, named relative to `root`; `skip` names entries
// left out when `dir` is the root itself.
std::vector<TreeRecord> walk(const std::string& root, const std::string& dir,
                             const std::vector<std::string>& skip = {}) {
  std::vector<TreeRecord> records;
  const bool at_root = path_components(dir) == path_components(root);
  const std::string prefix = at_root ? "" : dir.substr(root.size() + 1);
  const Status status = walk_tree_at(dir_of(dir).fd(), dir, prefix, records,
                                     at_root ? skip : std::vector<std::string>{});
  EXPECT_TRUE(status.ok()) << (status.ok() ? "" : status.error().full());
  sort_records(records);
  return records;
}

template <class R>
Error error_of(const R& result) {
  EXPECT_FALSE(result.ok());
  return result.ok() ? Error{} : result.error();
}

std::vector<std::string> paths_of(const std::vector<TreeRecord>& records) {
  std::vector<std::string> paths;
  for (const auto& r : records) paths.push_back(r.path);
  return paths;
}

TEST(Sha256, KnownVectorsInOnePieceOrMany) {
  EXPECT_EQ(digest_bytes(""), kEmptyDigest);

  // Fed in uneven pieces, including empty ones, the digest is the same.
  const std::string million(1'000'000, 'a');
  const std::string expected =
      "sha256:cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  EXPECT_EQ(digest_bytes(million), expected);
  Sha256 sha;
  for (size_t at = 0, step = 1; at < million.size(); at += step, step = step * 3 % 70001 + 1)
    sha.update(million.data() + at, std::min(step, million.size() - at));
  sha.update("", 0);
  EXPECT_EQ(sha.finish(), expected);

  const std::string empty(kEmptyDigest);
  EXPECT_TRUE(is_digest_text(empty));
  for (const std::string& bad : {"sha256:E3B0" + empty.substr(11), empty.substr(0, 70),
                                 empty + "0", "sha512:" + empty.substr(7)})
    EXPECT_FALSE(is_digest_text(bad)) << bad;
}

TEST(DigestFile, StreamsRegularFilesAndRefusesOthersWithoutBlocking) {
  TempDir tmp;
  write_text(tmp / "empty", "");
  std::string odd(65536 * 2 + 1, '\0');
  for (size_t i = 0; i < odd.size(); ++i) odd[i] = static_cast<char>(i * 7 + i / 251);
  write_text(tmp / "odd", odd);
  EXPECT_EQ(digest_file(tmp / "empty").value(), kEmptyDigest);
  EXPECT_EQ(digest_file(tmp / "odd").value(), digest_bytes(odd));

  const Error missing = error_of(digest_file(tmp / "missing"));
  EXPECT_EQ(missing.message, "cannot open " + (tmp / "missing"));
  EXPECT_EQ(missing.kind, ErrorKind::state_unavailable);
  EXPECT_EQ(missing.sys_errno, ENOENT);
  EXPECT_TRUE(missing.has_cause());
  const Error dir = error_of(digest_file(tmp.path()));
  EXPECT_EQ(dir.message, "cannot open " + tmp.path());
  EXPECT_TRUE(dir.has_cause());

  // No writer ever opens this FIFO: a blocking open would hang.
  write_text(tmp / "sub/a", "");
  ASSERT_EQ(::mkfifo((tmp / "sub/pipe").c_str(), 0644), 0);
  const std::string refused = "cannot open " + (tmp / "sub/pipe") + ": not a regular file";
  expect_returns_promptly(tmp / "sub/pipe", [&] {
    EXPECT_EQ(error_of(digest_file(tmp / "sub/pipe")).full(), refused);
    EXPECT_EQ(error_of(digest_tree(tmp / "sub")).full(), refused);
  });
}

TEST(DigestTree, RecordsEveryKindWithPathsRelativeToTheRoot) {
  TempDir tmp;
  EXPECT_EQ(digest_records({}), kEmptyDigest);
  EXPECT_EQ(tree_digest(tmp.path()), kEmptyDigest);

  write_text(tmp / "a", "hi");
  write_text(tmp / "run", "#!/bin/sh\n", 0755);
  make_dirs(tmp / "d/e");
  make_link("x", tmp / "d/l");
  const std::vector<TreeRecord> expected = {
      {"a", "file:-", digest_bytes("hi")}, {"d", "dir", ""}, {"d/e", "dir", ""},
      {"d/l", "link", "x"}, {"run", "file:x", digest_bytes("#!/bin/sh\n")}};
  EXPECT_EQ(walk(tmp.path(), tmp.path()), expected);

  // The record bytes: every field ends in a zero byte, the last one too.
  std::string fed;
  for (const auto& r : expected) fed += r.path + '\0' + r.kind + '\0' + r.detail + '\0';
  EXPECT_EQ(tree_digest(tmp.path()), digest_bytes(fed));
}

// The order is that of the joined text as unsigned bytes, not of the
// components: "." (0x2e) < "/" (0x2f) < "0" (0x30) < any non-ASCII byte.
TEST(DigestTree, OrdersByJoinedPathBytesAndReplacesInvalidUtf8) {
  TempDir tmp;
  for (const char* name : {"a0", "a.b", "\xc3\xa9", "Z", "a/b"}) write_text(tmp / name, "");
  EXPECT_EQ(paths_of(walk(tmp.path(), tmp.path())),
            (std::vector<std::string>{"Z", "a", "a.b", "a/b", "a0", "\xc3\xa9"}));

  TempDir bad;
  write_text(bad / "bad\xff", "");
  make_link("t\xfe", bad / "link");
  const auto records = walk(bad.path(), bad.path());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].path, "bad\uFFFD");
  EXPECT_EQ(records[1].detail, "t\uFFFD");
}

TEST(DigestTree, RootIsReachedThroughALinkButMustBeADirectory) {
  TempDir tmp;
  write_text(tmp / "tree/f", "x");
  make_link("tree", tmp / "via");
  EXPECT_EQ(tree_digest(tmp / "via"), tree_digest(tmp / "tree"));

  for (const std::string& path : {tmp / "tree/f", tmp / "missing"}) {
    const Error error = error_of(digest_tree(path));
    EXPECT_EQ(error.full(), path + " is not a directory");
    EXPECT_EQ(error.kind, ErrorKind::invalid_target);
  }
}

TEST(WalkTree, ExclusionsApplyOnlyDirectlyBelowTheRoot) {
  TempDir tmp;
  write_text(tmp / "skip", "");
  write_text(tmp / "keep", "");
  write_text(tmp / "sub/skip", "");
  make_dirs(tmp / "sub/skip2");
  EXPECT_EQ(paths_of(walk(tmp.path(), tmp.path(), {"skip", "sub/skip2"})),
            (std::vector<std::string>{"keep", "sub", "sub/skip", "sub/skip2"}));
  // An excluded directory is not descended into.
  EXPECT_EQ(paths_of(walk(tmp.path(), tmp.path() + "/", {"sub"})),
            (std::vector<std::string>{"keep", "skip"}));
  // Listing a subdirectory is not listing the root, and names entries from the root.
  EXPECT_EQ(paths_of(walk(tmp.path(), tmp / "sub", {"skip"})),
            (std::vector<std::string>{"sub/skip", "sub/skip2"}));
}

// A persistent failure, unlike a vanished entry, is reported.
TEST(EntryRecord, AStatFailureIsReported) {
  TempDir tmp;
  const std::string name(300, 'n');  // longer than any name may be
  const Error st = error_of(entry_record_at(dir_of(tmp.path()).fd(), name, name, tmp / name));
  EXPECT_EQ(st.message, "cannot stat " + (tmp / name));
  EXPECT_EQ(st.sys_errno, ENAMETOOLONG);
}

// The walk lists before it looks. Listing this process's descriptors uses one
// that is closed by the time its entry is looked at: an entry that vanished
// between listing and looking, without any race.
TEST(WalkTree, EntryVanishingAfterTheListingIsLeftOut) {
  struct stat st;
  if (::stat("/proc/self/fd", &st) != 0 || !S_ISDIR(st.st_mode))
    GTEST_SKIP() << "no /proc/self/fd";
  TempDir tmp;
  const int root = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  const int probe = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  ::close(probe);  // the listing will get this lowest free number

  std::vector<TreeRecord> records;
  const Status status = walk_tree_at(root, "/proc/self/fd", "", records);
  ::close(root);
  ASSERT_TRUE(status.ok()) << status.error().full();
  for (const auto& r : records) {
    EXPECT_NE(r.path, std::to_string(probe));
    EXPECT_EQ(r.kind, "link");
  }
}

}  // namespace
}  // namespace velk
