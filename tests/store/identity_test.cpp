#include "store/identity.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/digest.h"
#include "product/declaration.h"
#include "store/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

std::string identity_of(const std::string& target,
                        const std::vector<std::string>& surfaces = declaration().owned_paths()) {
  auto result = target_identity(dir_of(target), surfaces);
  EXPECT_TRUE(result.ok()) << result.error().full();
  return result.ok() ? *result : "";
}

void populate(const TempDir& t) {
  write_text(t / "AGENTS.md", "be brief\n");
  write_text(t / "skills/a/SKILL.md", "skill a\n");
  write_text(t / "plugins/known_marketplaces.json", "[]");
}

TEST(TargetIdentity, FollowsTheOwnedSurfacesAndNothingElse) {
  TempDir t;
  write_text(t / "auth.json", "{}");
  EXPECT_EQ(identity_of(t.path()), kEmptyDigest);  // no surface: the digest of no bytes
  populate(t);
  const std::string base = identity_of(t.path());
  write_text(t / ".velk-setup-system/backups/slot-000000000001/slot.json", "{}");
  write_text(t / "MIREL-VELK-PROVIDER.json", "{\"state_schema\":4}");
  EXPECT_EQ(identity_of(t.path()), base);
  // That a changed, added or removed owned file changes it is checked end to
  // end (StatusCommand drift).
  // Inside a surface everything counts, even a file the never-touch list names.
  write_text(t / "plugins/known_marketplaces.json", "[1]");
  EXPECT_NE(identity_of(t.path()), base);
}

TEST(TargetIdentity, OfAFileOnlyTheExecuteBitCounts) {
  TempDir t;
  populate(t);
  const std::string file = t / "skills/a/SKILL.md";
  const std::string base = identity_of(t.path());
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  const timeval times[2] = {{1000, 0}, {2000, 0}};
  ASSERT_EQ(::utimes(file.c_str(), times), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file.c_str(), 4242, 4242), 0);
  }
  EXPECT_EQ(identity_of(t.path()), base);
  ASSERT_EQ(::chmod(file.c_str(), 0700), 0);
  EXPECT_NE(identity_of(t.path()), base);
}

TEST(TargetIdentity, MeasuresEachSurfaceOnceWithItsOwnRecord) {
  TempDir t;
  populate(t);
  const std::vector<TreeRecord> skills = {{"skills", "dir", ""},
                                          {"skills/a", "dir", ""},
                                          {"skills/a/SKILL.md", "file:-", digest_bytes("skill a\n")}};
  EXPECT_EQ(identity_of(t.path(), {"skills"}), digest_records(skills));
  EXPECT_EQ(identity_of(t.path(), {"skills/a", "skills", "skills", "skills/a/SKILL.md"}),
            digest_records(skills));
  EXPECT_EQ(identity_of(t.path(), {"plugins/known_marketplaces.json", "auth.json"}), kEmptyDigest);

  make_link("skills", t / "hooks");  // recorded as a link, never followed
  EXPECT_EQ(identity_of(t.path(), {"hooks"}), digest_records({{"hooks", "link", "skills"}}));
}

TEST(OwnedLinks, AreNamedAtAnyDepthInByteOrder) {
  TempDir t;
  populate(t);
  const auto links_of = [&] {
    return find_owned_links(dir_of(t.path()), declaration().owned_paths()).value();
  };
  EXPECT_TRUE(links_of().empty());

  make_dirs(t / "skills/x");
  make_link("../../AGENTS.md", t / "skills/x/ref");
  EXPECT_EQ(links_of(), std::vector<std::string>{"skills/x/ref"});
  make_dirs(t / "agents");
  make_link("/nowhere", t / "agents/b");
  make_link("/nowhere", t / "agents/a");
  make_link("/", t / "notes");  // not owned
  const Error refusal = owned_links_refusal(links_of());
  EXPECT_EQ(refusal.kind, ErrorKind::unsupported_native_surface);
  EXPECT_EQ(refusal.message,
            "a backup captures content, and these owned paths are links rather than content: "
            "agents/a, agents/b, skills/x/ref. Nothing has been changed. Replace them with what "
            "they point at, or move them out of the namespaces this provider owns.");

  // A surface that is itself a link is named, and not looked into.
  ASSERT_EQ(::rename((t / "skills").c_str(), (t / "real").c_str()), 0);
  make_link("real", t / "skills");
  EXPECT_EQ(links_of(), (std::vector<std::string>{"agents/a", "agents/b", "skills"}));
}

}  // namespace
}  // namespace velk
