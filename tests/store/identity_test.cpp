#include "store/identity.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/digest.h"
#include "product/declaration.h"
#include "store/tree_helpers.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::kEmptyDigest;
using testing::make_dirs;
using testing::make_fifo;
using testing::make_link;
using testing::TempDir;
using testing::write_text;

std::vector<std::string> owned() { return declaration().owned_paths(); }

std::string identity_of(const std::string& target,
                        const std::vector<std::string>& surfaces = owned()) {
  auto result = target_identity(target, surfaces);
  EXPECT_TRUE(result.ok()) << result.error().full();
  return result.ok() ? *result : "";
}

void populate(const TempDir& t) {
  write_text(t / "AGENTS.md", "be brief\n");
  write_text(t / "config.toml", "model = \"m\"\n");
  write_text(t / "skills/a/SKILL.md", "skill a\n");
  write_text(t / "plugins/p/plugin.json", "{}");
  write_text(t / "plugins/known_marketplaces.json", "[]");
}

TEST(TargetIdentity, FollowsEveryChangeUnderAnOwnedSurface) {
  TempDir t;
  populate(t);
  const std::string base = identity_of(t.path());

  write_text(t / "skills/b/SKILL.md", "one");
  const std::string added = identity_of(t.path());
  EXPECT_NE(added, base);
  write_text(t / "skills/b/SKILL.md", "two");
  EXPECT_NE(identity_of(t.path()), added);
  ASSERT_EQ(::unlink((t / "skills/b/SKILL.md").c_str()), 0);
  ASSERT_EQ(::rmdir((t / "skills/b").c_str()), 0);
  EXPECT_EQ(identity_of(t.path()), base);

  // Inside a surface everything is measured, even a file the never-touch
  // list names.
  write_text(t / "plugins/known_marketplaces.json", "[\"m\"]");
  EXPECT_NE(identity_of(t.path()), base);
}

TEST(TargetIdentity, IgnoresEverythingOutsideTheOwnedSurfaces) {
  TempDir t;
  populate(t);
  const std::string base = identity_of(t.path());

  write_text(t / "auth.json", "{\"token\":1}");
  write_text(t / "sessions/s1.json", "{}");
  write_text(t / "logs/today.log", "line\n");
  write_text(t / "notes.txt", "mine");
  write_text(t / ".velk-setup-system/backups/slot-000000000001/slot.json", "{}");
  write_text(t / "MIREL-VELK-PROVIDER.json", "{\"state_schema\":4}");
  EXPECT_EQ(identity_of(t.path()), base);

  write_text(t / "auth.json", "{\"token\":2}");
  write_text(t / "MIREL-VELK-PROVIDER.json", "{}");
  EXPECT_EQ(identity_of(t.path()), base);
}

TEST(TargetIdentity, OnlyTheExecuteBitOfAFileCounts) {
  TempDir t;
  populate(t);
  const std::string file = t / "skills/a/SKILL.md";
  const std::string base = identity_of(t.path());

  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  const timeval times[2] = {{1000, 0}, {2000, 0}};
  ASSERT_EQ(::utimes(file.c_str(), times), 0);
  if (::geteuid() == 0) ASSERT_EQ(::chown(file.c_str(), 4242, 4242), 0);
  EXPECT_EQ(identity_of(t.path()), base);

  ASSERT_EQ(::chmod(file.c_str(), 0700), 0);
  EXPECT_NE(identity_of(t.path()), base);
}

TEST(TargetIdentity, MeasuresEachSurfaceOnceWithItsOwnRecord) {
  TempDir t;
  populate(t);
  const std::vector<TreeRecord> expected = {
      {"skills", "dir", ""},
      {"skills/a", "dir", ""},
      {"skills/a/SKILL.md", "file:-", digest_bytes("skill a\n")},
  };
  const std::string skills = digest_records(expected);
  EXPECT_EQ(identity_of(t.path(), {"skills"}), skills);
  EXPECT_EQ(identity_of(t.path(), {"skills/a", "skills", "skills", "skills/a/SKILL.md"}), skills);

  // A surface that is itself excluded contributes nothing.
  EXPECT_EQ(identity_of(t.path(), {"plugins/known_marketplaces.json", "auth.json"}), kEmptyDigest);
  // A nested surface alone is measured from the target's top.
  EXPECT_EQ(identity_of(t.path(), {"skills/a"}), digest_records({expected[1], expected[2]}));
}

TEST(TargetIdentity, RecordsALinkedSurfaceAsALinkWithoutFollowingIt) {
  TempDir t;
  make_dirs(t / "elsewhere");
  write_text(t / "elsewhere/x.md", "x");
  make_link("elsewhere", t / "hooks");
  EXPECT_EQ(identity_of(t.path()), digest_records({{"hooks", "link", "elsewhere"}}));
}

TEST(TargetIdentity, NoSurfacePresentIsTheDigestOfNoBytes) {
  TempDir first;
  TempDir second;
  write_text(first / "auth.json", "secret");
  make_dirs(second / "sessions");
  EXPECT_EQ(identity_of(first.path()), kEmptyDigest);
  EXPECT_EQ(identity_of(second.path()), kEmptyDigest);
}

TEST(TargetIdentity, RefusesATargetThatIsNoDirectory) {
  TempDir t;
  write_text(t / "file", "");
  for (const std::string& path : {t / "file", t / "missing"}) {
    auto result = target_identity(path, owned());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::invalid_target);
    EXPECT_EQ(result.error().message, path + " is not a directory");
  }
}

TEST(TargetIdentity, AFifoInASurfaceDoesNotBlock) {
  TempDir t;
  populate(t);
  make_fifo(t / "skills/a/pipe");
  testing::expect_returns_promptly(t / "skills/a/pipe",
                                   [&] { (void)target_identity(t.path(), owned()); });
}

TEST(OwnedLinks, NamesEveryLinkAtAnyDepthSorted) {
  TempDir t;
  populate(t);
  auto none = find_owned_links(t.path(), owned());
  ASSERT_TRUE(none.ok()) << none.error().full();
  EXPECT_TRUE(none->empty());

  make_dirs(t / "skills/x");
  make_link("../../AGENTS.md", t / "skills/x/ref");
  make_dirs(t / "agents");
  make_link("/nowhere", t / "agents/b");
  make_link("/nowhere", t / "agents/a");
  make_link("/", t / "hooks");
  make_link("/", t / "notes");  // not an owned surface
  auto links = find_owned_links(t.path(), owned());
  ASSERT_TRUE(links.ok()) << links.error().full();
  EXPECT_EQ(*links, (std::vector<std::string>{"agents/a", "agents/b", "hooks", "skills/x/ref"}));

  const Error refusal = owned_links_refusal(*links);
  EXPECT_EQ(refusal.kind, ErrorKind::unsupported_native_surface);
  EXPECT_EQ(refusal.message,
            "a backup captures content, and these owned paths are links rather than content: "
            "agents/a, agents/b, hooks, skills/x/ref. Nothing has been changed. Replace them with "
            "what they point at, or move them out of the namespaces this provider owns.");
}

TEST(OwnedLinks, ASurfaceThatIsALinkIsNamedAndNotDescended) {
  TempDir t;
  make_dirs(t / "real/inner");
  make_link("/", t / "real/inner/deep");
  make_link("real", t / "skills");
  auto links = find_owned_links(t.path(), owned());
  ASSERT_TRUE(links.ok()) << links.error().full();
  EXPECT_EQ(*links, std::vector<std::string>{"skills"});
  EXPECT_EQ(owned_links_refusal(*links).message,
            "a backup captures content, and these owned paths are links rather than content: "
            "skills. Nothing has been changed. Replace them with what they point at, or move them "
            "out of the namespaces this provider owns.");
}

}  // namespace
}  // namespace velk
