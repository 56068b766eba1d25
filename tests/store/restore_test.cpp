#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "store/identity.h"
#include "store/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

std::string identity_of(const PoolFixture& f) {
  auto id = target_identity(dir_of(f.t.path()), declaration().owned_paths());
  EXPECT_TRUE(id.ok()) << id.error().full();
  return id.ok() ? *id : "";
}

// Captures with the identity measured now and returns the slot.
SlotEntry capture_slot(const PoolFixture& f,
                       const std::vector<std::string>& surfaces = declaration().owned_paths()) {
  const std::string name = f.capture_now(surfaces, {"install", "op", identity_of(f), {}, {}, {}});
  auto slot = resolve_restore_source(f.pool, name);
  EXPECT_TRUE(slot.ok());
  return slot.ok() ? *slot : SlotEntry{};
}

std::vector<std::string> restore_ok(const PoolFixture& f, const SlotEntry& slot,
                                    std::optional<TargetScope> scope = std::nullopt,
                                    const std::vector<std::string>& clear = {}) {
  auto restored = restore_payload(dir_of(f.t.path()), *slot_payload(slot.dir), scope, clear);
  EXPECT_TRUE(restored.ok()) << restored.error().full();
  if (!restored.ok()) return {};
  std::sort(restored->begin(), restored->end());
  return *restored;
}

TEST(RestorePayload, BringsBackTheRecordedIdentityWithItsModes) {
  PoolFixture f;
  write_text(f.t / "AGENTS.md", "#!/bin/sh\necho agents\n", 0755);
  write_text(f.t / "config.toml", "k = 1\n", 0600);
  write_text(f.t / "skills/a/tool.sh", "#!/bin/sh\n", 0755);
  write_text(f.t / "hooks/h.sh", "#!/bin/sh\n", 0750);
  write_text(f.t / "auth.json", "secret");
  const SlotEntry slot = capture_slot(f);

  write_text(f.t / "AGENTS.md", "changed\n", 0644);
  ASSERT_EQ(::chmod((f.t / "skills/a/tool.sh").c_str(), 0644), 0);
  write_text(f.t / "skills/new/SKILL.md", "new\n");
  ASSERT_EQ(::unlink((f.t / "hooks/h.sh").c_str()), 0);
  write_text(f.t / "workflows/w.md", "w");
  write_text(f.t / "sandbox.toml", "s");
  write_text(f.t / "auth.json", "rotated");
  EXPECT_EQ(restore_ok(f, slot), (std::vector<std::string>{"AGENTS.md", "config.toml",
                                                           "hooks/h.sh", "skills/a/tool.sh"}));
  EXPECT_EQ(identity_of(f), slot.record.target_identity_digest);
  EXPECT_EQ(read_text(f.t / "AGENTS.md"), "#!/bin/sh\necho agents\n");
  EXPECT_EQ(mode_of(f.t / "AGENTS.md"), 0755u);
  EXPECT_EQ(mode_of(f.t / "config.toml"), 0600u);
  EXPECT_EQ(mode_of(f.t / "skills/a/tool.sh"), 0755u);
  EXPECT_FALSE(exists(f.t / "skills/new") || exists(f.t / "workflows") ||
               exists(f.t / "sandbox.toml"));
  EXPECT_EQ(read_text(f.t / "auth.json"), "rotated");

  write_text(f.t / "roles/r.md", "r");  // a slot of nothing clears every surface
  EXPECT_TRUE(restore_ok(f, capture_slot(f, {}), TargetScope::project).empty());
  EXPECT_EQ(identity_of(f), kEmptyDigest);
}

TEST(RestorePayload, NeverTouchesTheMarketplaceListInsidePlugins) {
  PoolFixture f;
  write_text(f.t / "plugins/p/plugin.json", "{}");
  write_text(f.t / "plugins/known_marketplaces.json", "[\"old\"]");
  const SlotEntry slot = capture_slot(f);
  write_text(f.t / "plugins/known_marketplaces.json", "[\"new\"]");
  write_text(f.t / "plugins/q/plugin.json", "{}");
  EXPECT_EQ(restore_ok(f, slot), std::vector<std::string>{"plugins/p/plugin.json"});
  EXPECT_EQ(read_text(f.t / "plugins/known_marketplaces.json"), "[\"new\"]");
  EXPECT_FALSE(exists(f.t / "plugins/q"));

  // Not even recreated once the product has dropped it.
  ASSERT_EQ(::unlink((f.t / "plugins/known_marketplaces.json").c_str()), 0);
  restore_ok(f, slot);
  EXPECT_FALSE(exists(f.t / "plugins/known_marketplaces.json"));
}

// A slot made without either record of the state file leaves it alone.
TEST(RestorePreviousState, ASlotThatKeptNeitherLeavesTheStateFile) {
  PoolFixture f;
  write_text(f.t / "MIREL-VELK-PROVIDER.json", "C");
  f.make_slot(9);
  ASSERT_TRUE(restore_previous_state(f.slot(9), dir_of(f.t.path())).ok());
  EXPECT_EQ(read_text(f.t / "MIREL-VELK-PROVIDER.json"), "C");
}

}  // namespace
}  // namespace velk
