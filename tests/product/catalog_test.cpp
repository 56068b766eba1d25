#include "product/catalog.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "core/digest.h"
#include "core/fs.h"
#include "product/builtin_setups.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using namespace velk::testing;

const std::string kSourceCatalog = std::string(VELK_SOURCE_DIR) + "/setups/velk-build";

void write_setup(const std::string& catalog, const std::string& dir, const std::string& manifest) {
  write_text(catalog + "/" + dir + "/setup.json", manifest);
  write_text(catalog + "/" + dir + "/home/AGENTS.md", "rules\n");
}

std::string manifest(const std::string& id) {
  return R"({"schema_version": 1, "id": ")" + id + R"(", "description": "d"})";
}

std::string read_error(const std::string& dir) {
  auto setups = read_setups(Catalog{dir, nullptr});
  return setups.ok() ? "(read)" : setups.error().full();
}

// A search that ends with the built-in catalog, written under `temp`.
CatalogSearch isolated_search(const TempDir& temp) {
  make_dirs(temp / "bin/a/b/c");
  make_dirs(temp / "work");
  make_dirs(temp / "tmp");
  return CatalogSearch{std::nullopt, temp / "bin/a/b/c", temp / "work", temp / "tmp"};
}

TEST(BuiltinSetups, WrittenOutCatalogReadsLikeTheShippedOne) {
  TempDir temp;
  auto written = write_builtin_catalog(temp.path());
  ASSERT_TRUE(written.ok()) << written.error().full();
  auto setups = read_setups(*written);
  auto shipped = read_setups(Catalog{kSourceCatalog, nullptr});
  ASSERT_TRUE(setups.ok() && shipped.ok());
  ASSERT_EQ(setups->size(), 4u);

  std::map<std::string, const CatalogSetup*> by_id;
  for (const auto& s : *shipped) by_id[s.id] = &s;
  for (const auto& s : *setups) {
    ASSERT_TRUE(by_id.count(s.id)) << s.id;
    EXPECT_EQ(s.definition_digest, by_id[s.id]->definition_digest) << s.id;
    EXPECT_EQ(s.manifest_digest, by_id[s.id]->manifest_digest) << s.id;
    EXPECT_EQ(s.dir, written->dir + "/" + s.id);
    EXPECT_EQ(s.temp, written->temp);
  }
  EXPECT_EQ(by_id["minimal"]->manifest_digest,
            digest_bytes(read_text(kSourceCatalog + "/minimal/setup.json")));
}

TEST(BuiltinSetups, EachWriteOutGetsItsOwnDirectoryRemovedWithTheLastReference) {
  TempDir temp;
  std::string first_dir;
  std::vector<CatalogSetup> kept;
  {
    auto first = write_builtin_catalog(temp.path());
    auto second = write_builtin_catalog(temp.path());
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_NE(first->dir, second->dir);  // the numbering is pinned by the next test
    first_dir = first->dir;
    EXPECT_TRUE(exists(first->dir + "/minimal/home/AGENTS.md"));
    kept = read_setups(*first).value();
  }
  // The setups still refer to the first directory; the second is gone.
  EXPECT_TRUE(exists(first_dir + "/baseline/setup.json"));
  EXPECT_EQ(list_directory(temp.path())->size(), 1u);
  kept.clear();
  EXPECT_TRUE(list_directory(temp.path())->empty());

  write_text(temp / "file", "");
  auto written = write_builtin_catalog(temp / "file");
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().full(),
            "no setup catalog was found; point VELK_SETUP_SYSTEM_SETUP_CATALOG at one, or run "
            "from a tree that ships setups/");
}

TEST(BuiltinSetups, ANameAlreadyTakenInASharedTemporaryDirectoryIsNeverRemovedOrReused) {
  TempDir temp;
  ASSERT_EQ(::chmod(temp.path().c_str(), 01777), 0);  // shared, as /tmp is
  write_text(temp / "victim/.ssh/id_ed25519", "private key\n");
  const std::string stem = temp.path() + "/velk-setup-system-" + std::to_string(::getpid()) + "-";
  // The counter value the next write-out in this process will use.
  auto probe = write_builtin_catalog(temp.path());
  ASSERT_TRUE(probe.ok());
  const uint64_t next = std::stoull(probe->dir.substr(stem.size())) + 1;
  const std::string taken_dir = stem + std::to_string(next);
  const std::string taken_link = stem + std::to_string(next + 1);

  // Another user plants the next two names: a directory of their own with a
  // file in it, and a link to the victim's directory. As root the planting
  // runs as nobody; otherwise as this user, which makes the same names.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && ::setuid(65534) != 0) _exit(2);
    if (::mkdir(taken_dir.c_str(), 0755) != 0) _exit(3);
    const int fd = ::open((taken_dir + "/theirs").c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0 || ::write(fd, "theirs", 6) != 6) _exit(4);
    ::close(fd);
    _exit(::symlink((temp / "victim/.ssh").c_str(), taken_link.c_str()) == 0 ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  {
    auto written = write_builtin_catalog(temp.path());
    ASSERT_TRUE(written.ok()) << written.error().full();
    EXPECT_EQ(written->dir, stem + std::to_string(next + 2));
    struct stat st;
    ASSERT_EQ(::stat(written->dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(exists(written->dir + "/minimal/home/AGENTS.md"));
  }
  EXPECT_EQ(read_text(taken_dir + "/theirs"), "theirs");
  EXPECT_EQ(read_text(taken_link + "/id_ed25519"), "private key\n");
  EXPECT_FALSE(exists(stem + std::to_string(next + 2)));

  // Every name it would try is taken: it says so and removes nothing.
  const uint64_t first = next + 3;
  for (uint64_t n = first; n < first + 64; ++n) make_dirs(stem + std::to_string(n));
  auto refused = write_builtin_catalog(temp.path());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().full(),
            "no setup catalog was found, and the built-in one cannot be written out: " + stem +
                std::to_string(first) +
                " and the next 63 names under the temporary directory are taken; point "
                "VELK_SETUP_SYSTEM_SETUP_CATALOG at a catalog, or set TMPDIR to a directory of "
                "your own");
  for (uint64_t n = first; n < first + 64; ++n) EXPECT_TRUE(exists(stem + std::to_string(n)));
  EXPECT_EQ(read_text(temp / "victim/.ssh/id_ed25519"), "private key\n");
}

TEST(OpenCatalog, AnOverrideNamingADirectoryIsTheCatalogAnythingElseEndsWithTheBuiltIn) {
  TempDir temp;
  make_dirs(temp / "empty");
  CatalogSearch search = isolated_search(temp);
  search.override_value = temp / "empty";
  auto empty = open_catalog(search);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->dir, temp / "empty");
  EXPECT_EQ(empty->temp, nullptr);
  EXPECT_EQ(find_setup(read_setups(*empty).value(), "baseline").error().full(),
            "\"baseline\" is not a setup; this build ships no catalog");

  write_text(temp / "file", "x");
  for (const std::string& value : {temp / "file", temp / "missing", std::string("\xff\xfe"), std::string()}) {
    search.override_value = value;
    std::string dir;
    {
      auto catalog = open_catalog(search);
      ASSERT_TRUE(catalog.ok()) << catalog.error().full();
      ASSERT_NE(catalog->temp, nullptr);
      dir = catalog->dir;
      EXPECT_EQ(parent_path(dir), temp / "tmp");
      EXPECT_EQ(read_setups(*catalog)->size(), 4u);
    }
    EXPECT_FALSE(exists(dir));
  }
}

TEST(OpenCatalog, SearchesBesideTheProgramThenTheWorkingDirectory) {
  TempDir temp;
  CatalogSearch search = isolated_search(temp);
  auto found_at = [&](const std::string& expected) {
    auto catalog = open_catalog(search);
    ASSERT_TRUE(catalog.ok());
    EXPECT_EQ(catalog->dir, expected);
  };
  // Too far up: the fifth level above the program is not searched.
  write_setup(temp / "setups/velk-build", "far", manifest("far"));
  write_setup(temp / "work/setups/velk-build", "cwd", manifest("cwd"));
  found_at(temp / "work/setups/velk-build");
  // The great-grandparent of the program's directory is the last base tried.
  write_setup(temp / "bin/setups/velk-build", "up", manifest("up"));
  found_at(temp / "bin/setups/velk-build");
  // A nearer candidate without any setup.json in a subdirectory is passed over.
  make_dirs(temp / "bin/a/b/setups/velk-build/nothing");
  write_text(temp / "bin/a/setups/velk-build/setup.json", manifest("loose"));
  found_at(temp / "bin/setups/velk-build");
  write_setup(temp / "bin/a/b/c/setups/velk-build", "near", manifest("near"));
  found_at(temp / "bin/a/b/c/setups/velk-build");
  EXPECT_TRUE(list_directory(temp / "tmp")->empty());
}

TEST(ReadSetups, ReadsMembersAndCountsRegularFilesAtAnyDepth) {
  TempDir temp;
  write_setup(temp.path(), "plain", R"({"schema_version": 1, "id": "plain", "description": "no sources"})");
  write_setup(temp.path(), "extra",
              R"({"schema_version": 1, "id": "extra", "description": "d", "sources": ["a", "b"], "note": {"x": 1}})");
  make_dirs(temp / "not-a-setup/home");
  write_text(temp / "loose.json", "{}");
  write_text(temp / "extra/home/skills/x/SKILL.md", "s");
  write_text(temp / "extra/home/skills/x/references/a.md", "a");
  make_dirs(temp / "extra/home/empty");
  ASSERT_EQ(::symlink("AGENTS.md", (temp / "extra/home/link").c_str()), 0);
  auto setups = read_setups(Catalog{temp.path(), nullptr});
  ASSERT_TRUE(setups.ok()) << setups.error().full();
  ASSERT_EQ(setups->size(), 2u);
  std::map<std::string, CatalogSetup> by_id;
  for (const auto& s : *setups) by_id[s.id] = s;
  EXPECT_TRUE(by_id["plain"].sources.empty());
  EXPECT_EQ(by_id["plain"].description, "no sources");
  EXPECT_EQ(by_id["plain"].file_count, 1u);
  EXPECT_EQ(by_id["extra"].sources, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(by_id["extra"].file_count, 3u);
  EXPECT_EQ(by_id["extra"].definition_digest, digest_tree(temp / "extra/home").value());
}

// The other manifest refusals are compared end to end (ListCommand).
TEST(ReadSetups, FailuresNameThePathAndEndTheRead) {
  TempDir temp;
  write_setup(temp / "twice", "t", R"({"schema_version": 1, "id": "t", "id": "t", "description": "d"})");
  EXPECT_EQ(read_error(temp / "twice"), (temp / "twice/t/setup.json") + " does not parse: duplicate field `id`");
  write_text(temp / "file-home/f/setup.json", manifest("f"));
  write_text(temp / "file-home/f/home", "not a tree");
  EXPECT_EQ(read_error(temp / "file-home"), (temp / "file-home/f") + " has no home tree");
  EXPECT_EQ(read_error(temp / "nowhere"),
            "cannot list the setup catalog at " + (temp / "nowhere") + ": No such file or directory");
}

TEST(FindSetup, ExactIdOnlyAndTheShippedIdsInCatalogOrder) {
  std::vector<CatalogSetup> setups(3);
  setups[0].id = "minimal";
  setups[1].id = "baseline";
  setups[2].id = "full-auto";
  EXPECT_EQ(find_setup(setups, "baseline")->id, "baseline");
  for (const char* id : {"Baseline", "base", "baseline "}) EXPECT_FALSE(find_setup(setups, id).ok());
  EXPECT_EQ(find_setup(setups, "we\"ird\n").error().full(),
            "\"we\\\"ird\\n\" is not a setup; this build ships minimal, baseline, full-auto");
}

}  // namespace
}  // namespace velk
