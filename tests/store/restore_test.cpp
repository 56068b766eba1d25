#include <unistd.h>

#include <gtest/gtest.h>

#include "store/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

// Captures the owned surfaces and returns the slot.
SlotEntry capture_slot(const PoolFixture& f) {
  auto slot = resolve_restore_source(f.pool, f.capture_now());
  EXPECT_TRUE(slot.ok());
  return slot.ok() ? *slot : SlotEntry{};
}

std::vector<std::string> restore_ok(const PoolFixture& f, const SlotEntry& slot) {
  auto restored = restore_payload(dir_of(f.t.path()), *slot_payload(slot.dir), std::nullopt, {});
  EXPECT_TRUE(restored.ok()) << restored.error().full();
  return restored.ok() ? *restored : std::vector<std::string>{};
}

TEST(RestorePayload, NeverTouchesTheMarketplaceListInsidePlugins) {
  PoolFixture f;
  write_text(f.t / "plugins/p/plugin.json", "{}", 0600);
  write_text(f.t / "plugins/known_marketplaces.json", "[\"old\"]");
  const SlotEntry slot = capture_slot(f);
  write_text(f.t / "plugins/p/plugin.json", "changed", 0644);
  write_text(f.t / "plugins/known_marketplaces.json", "[\"new\"]");
  write_text(f.t / "plugins/q/plugin.json", "{}");
  EXPECT_EQ(restore_ok(f, slot), std::vector<std::string>{"plugins/p/plugin.json"});
  EXPECT_EQ(read_text(f.t / "plugins/p/plugin.json"), "{}");
  EXPECT_EQ(mode_of(f.t / "plugins/p/plugin.json"), 0600u);  // its mode comes back too
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
