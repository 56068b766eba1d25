#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "store/identity.h"
#include "store/pool.h"
#include "store/tree_helpers.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::exists;
using testing::kEmptyDigest;
using testing::make_dirs;
using testing::mode_of;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

struct Fixture {
  TempDir t;
  BackupPool pool{t / ".velk-setup-system/backups", 10};
  Fixture() { make_dirs(pool.dir); }

  std::string identity() const {
    auto id = target_identity(t.path(), declaration().owned_paths());
    EXPECT_TRUE(id.ok()) << id.error().full();
    return id.ok() ? *id : "";
  }

  // Captures the surfaces with the identity measured now; returns the slot.
  SlotEntry capture_now(const std::vector<std::string>& surfaces = declaration().owned_paths()) {
    const CaptureRequest r{"install", "op", identity(), std::nullopt, std::nullopt};
    auto name = capture(pool, t.path(), surfaces, r);
    EXPECT_TRUE(name.ok()) << name.error().full();
    auto slot = resolve_restore_source(pool, name.ok() ? *name : "");
    EXPECT_TRUE(slot.ok());
    return slot.ok() ? *slot : SlotEntry{};
  }
};

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(RestorePayload, PutsTheSurfacesBackWithTheirModesAndTheRecordedIdentity) {
  Fixture g;
  write_text(g.t / "AGENTS.md", "#!/bin/sh\necho agents\n", 0755);
  write_text(g.t / "config.toml", "k = 1\n", 0600);
  write_text(g.t / "skills/a/SKILL.md", "skill a\n", 0644);
  write_text(g.t / "skills/a/tool.sh", "#!/bin/sh\n", 0755);
  write_text(g.t / "plugins/p/plugin.json", "{}");
  write_text(g.t / "plugins/known_marketplaces.json", "[]");
  write_text(g.t / "hooks/h.sh", "#!/bin/sh\n", 0750);
  write_text(g.t / "auth.json", "secret");
  const SlotEntry slot = g.capture_now();

  write_text(g.t / "AGENTS.md", "changed\n", 0644);
  ASSERT_EQ(::chmod((g.t / "skills/a/tool.sh").c_str(), 0644), 0);
  write_text(g.t / "skills/new/SKILL.md", "new\n");
  ASSERT_EQ(::unlink((g.t / "hooks/h.sh").c_str()), 0);
  write_text(g.t / "workflows/w.md", "w");
  write_text(g.t / "sandbox.toml", "s");
  write_text(g.t / "auth.json", "rotated");
  ASSERT_NE(g.identity(), slot.record.target_identity_digest);

  auto restored = restore_payload(g.t.path(), slot.dir + "/payload", std::nullopt);
  ASSERT_TRUE(restored.ok()) << restored.error().full();
  EXPECT_EQ(sorted(*restored),
            (std::vector<std::string>{"AGENTS.md", "config.toml", "hooks/h.sh",
                                      "plugins/p/plugin.json", "skills/a/SKILL.md",
                                      "skills/a/tool.sh"}));
  EXPECT_EQ(g.identity(), slot.record.target_identity_digest);
  EXPECT_EQ(read_text(g.t / "AGENTS.md"), "#!/bin/sh\necho agents\n");
  EXPECT_EQ(mode_of(g.t / "AGENTS.md"), 0755u);
  EXPECT_EQ(mode_of(g.t / "config.toml"), 0600u);
  EXPECT_EQ(mode_of(g.t / "skills/a/tool.sh"), 0755u);
  EXPECT_EQ(mode_of(g.t / "hooks/h.sh"), 0750u);
  EXPECT_FALSE(exists(g.t / "skills/new"));
  EXPECT_FALSE(exists(g.t / "workflows"));
  EXPECT_FALSE(exists(g.t / "sandbox.toml"));
  EXPECT_EQ(read_text(g.t / "auth.json"), "rotated");
}

TEST(RestorePayload, NeverTouchesTheMarketplaceListInsidePlugins) {
  Fixture g;
  write_text(g.t / "plugins/p/plugin.json", "{}");
  write_text(g.t / "plugins/known_marketplaces.json", "[\"old\"]");
  const SlotEntry slot = g.capture_now();
  ASSERT_EQ(read_text(slot.dir + "/payload/plugins/known_marketplaces.json"), "[\"old\"]");

  write_text(g.t / "plugins/known_marketplaces.json", "[\"new\"]");
  write_text(g.t / "plugins/q/plugin.json", "{}");
  auto restored = restore_payload(g.t.path(), slot.dir + "/payload", std::nullopt);
  ASSERT_TRUE(restored.ok()) << restored.error().full();
  EXPECT_EQ(*restored, std::vector<std::string>{"plugins/p/plugin.json"});
  EXPECT_EQ(read_text(g.t / "plugins/known_marketplaces.json"), "[\"new\"]");
  EXPECT_FALSE(exists(g.t / "plugins/q"));

  // Not even recreated when the product has dropped it since.
  ASSERT_EQ(::unlink((g.t / "plugins/known_marketplaces.json").c_str()), 0);
  ASSERT_TRUE(restore_payload(g.t.path(), slot.dir + "/payload", std::nullopt).ok());
  EXPECT_FALSE(exists(g.t / "plugins/known_marketplaces.json"));
  EXPECT_TRUE(exists(g.t / "plugins/p/plugin.json"));
}

TEST(RestorePayload, AnEmptyPayloadClearsEveryOwnedSurface) {
  Fixture g;
  const SlotEntry slot = g.capture_now();
  write_text(g.t / "AGENTS.md", "a");
  write_text(g.t / "roles/r.md", "r");
  write_text(g.t / "sessions/s.json", "{}");
  auto restored = restore_payload(g.t.path(), slot.dir + "/payload", TargetScope::project);
  ASSERT_TRUE(restored.ok()) << restored.error().full();
  EXPECT_TRUE(restored->empty());
  EXPECT_EQ(g.identity(), kEmptyDigest);
  EXPECT_TRUE(exists(g.t / "sessions/s.json"));
}

TEST(RestorePayload, UnderUserRootClearsOnlyTheGivenPaths) {
  Fixture g;
  write_text(g.t / "skills/mine/SKILL.md", "mine v1\n", 0640);
  write_text(g.t / "skills/other-product/SKILL.md", "theirs\n");
  const SlotEntry slot = g.capture_now({"skills/mine/SKILL.md"});
  EXPECT_FALSE(exists(slot.dir + "/payload/skills/other-product"));

  write_text(g.t / "skills/mine/SKILL.md", "mine v2\n");
  write_text(g.t / "skills/mine/extra.md", "extra\n");
  auto restored = restore_payload(g.t.path(), slot.dir + "/payload", TargetScope::user_root,
                                  {"skills/mine/SKILL.md", "skills/mine/extra.md"});
  ASSERT_TRUE(restored.ok()) << restored.error().full();
  EXPECT_EQ(*restored, std::vector<std::string>{"skills/mine/SKILL.md"});
  EXPECT_EQ(read_text(g.t / "skills/mine/SKILL.md"), "mine v1\n");
  EXPECT_EQ(mode_of(g.t / "skills/mine/SKILL.md"), 0640u);
  EXPECT_FALSE(exists(g.t / "skills/mine/extra.md"));
  EXPECT_EQ(read_text(g.t / "skills/other-product/SKILL.md"), "theirs\n");
}

TEST(RestorePreviousState, PutsBackTheStateFileOrItsAbsence) {
  Fixture g;
  const std::string state = g.t / "MIREL-VELK-PROVIDER.json";
  const SlotEntry without = g.capture_now();
  write_text(state, "{\"state_schema\":4,\"v\":\"A\"}");
  const SlotEntry with = g.capture_now();
  write_text(state, "{\"state_schema\":4,\"v\":\"B\"}");

  ASSERT_TRUE(restore_previous_state(with.dir, g.t.path()).ok());
  EXPECT_EQ(read_text(state), "{\"state_schema\":4,\"v\":\"A\"}");
  ASSERT_TRUE(restore_previous_state(without.dir, g.t.path()).ok());
  EXPECT_FALSE(exists(state));

  // A slot that kept neither leaves the state file alone.
  write_text(state, "C");
  make_dirs(g.pool.dir + "/slot-000000000009/payload");
  ASSERT_TRUE(restore_previous_state(g.pool.dir + "/slot-000000000009", g.t.path()).ok());
  EXPECT_EQ(read_text(state), "C");
}

}  // namespace
}  // namespace velk
