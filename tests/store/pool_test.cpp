#include "store/pool.h"

#include <gtest/gtest.h>

#include "store/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

TEST(Pool, NamesAndNumbersSlots) {
  EXPECT_TRUE(parse_slot_ref("slot-000000000000").ok());
  for (const std::string text : {"slot-1", "slot-0000000000001", "SLOT-000000000001",
                                 "slot-00000000000a", "slot-+00000000001", ""}) {
    expect_error(parse_slot_ref(text), ErrorKind::integrity_mismatch,
                 text + " is not a backup reference");
  }
  PoolFixture f;
  EXPECT_EQ(f.capture_now(), "slot-000000000001");

  PoolFixture g;
  g.make_slot(7);
  make_dirs(g.slot_dir(3));  // incomplete, and still counted for numbering
  write_text(g.pool.path + "/slot-000000000009", "a file, not a slot");
  make_link(g.slot_dir(7), g.pool.path + "/slot-000000000010");  // a link is no slot either
  make_dirs(g.pool.path + "/notes");
  EXPECT_EQ(g.listed(), std::vector<std::string>{"slot-000000000007"});
  EXPECT_EQ(*list_incomplete_slots(g.pool), std::vector<std::string>{"slot-000000000003"});
  EXPECT_EQ(g.capture_now(), "slot-000000000008");
  // The capture's prune took the file and the link away, never following it.
  EXPECT_FALSE(exists(g.pool.path + "/slot-000000000009") ||
               exists(g.pool.path + "/slot-000000000010"));
  EXPECT_TRUE(exists(g.slot_dir(7) + "/slot.json"));

  // Numbers stop at the largest a name can carry; a capture never reuses one.
  PoolFixture h;
  h.make_slot(999999999999);
  expect_error(capture(h.pool, dir_of(h.t.path()), {}, {}), ErrorKind::state_unavailable,
               "cannot create backup slot " + h.slot_dir(999999999999));
}

TEST(Pool, CaptureCopiesTheSurfacesTheRecordAndThePreviousState) {
  PoolFixture f;
  write_text(f.t / "AGENTS.md", "be brief\n", 0755);
  write_text(f.t / "skills/a/SKILL.md", "skill a\n", 0600);
  write_text(f.t / "auth.json", "secret");
  write_text(f.t / "notes.txt", "mine");
  const std::string payload = f.slot_dir(1) + "/payload";
  f.capture_now();
  EXPECT_EQ(read_text(payload + "/AGENTS.md"), "be brief\n");
  EXPECT_EQ(mode_of(payload + "/AGENTS.md"), 0755u);
  EXPECT_EQ(mode_of(payload + "/skills/a/SKILL.md"), 0600u);
  EXPECT_FALSE(exists(payload + "/auth.json") || exists(payload + "/notes.txt"));
  EXPECT_EQ(read_text(f.slot_dir(1) + "/slot.json"), record_text("slot-000000000001", "op-1"));
  EXPECT_TRUE(exists(f.slot_dir(1) + "/previous-state.absent"));

  write_text(f.t / "MIREL-VELK-PROVIDER.json", "{\"state_schema\":4}");
  const CaptureRequest r{"remove", "op-2", "sha256:" + std::string(64, 'a'), "minimal",
                         "sha256:" + std::string(64, 'b'), {}};
  f.capture_now(declaration().owned_paths(), r);
  EXPECT_EQ(read_text(f.slot_dir(2) + "/previous-state.json"), "{\"state_schema\":4}");
  auto slots = list_slots(f.pool);
  ASSERT_TRUE(slots.ok() && slots->size() == 2);
  const SlotRecord& newest = slots->front().record;
  EXPECT_EQ(slots->front().dir.path(), f.slot_dir(2));
  EXPECT_EQ(newest.backup_ref, "slot-000000000002");
  EXPECT_EQ(newest.operation + newest.operation_id, "removeop-2");
  EXPECT_EQ(newest.target_identity_digest, r.identity);
  EXPECT_EQ(newest.setup_id, "minimal");
  EXPECT_EQ(newest.setup_definition_digest, r.setup_definition_digest);

  make_link("notes.txt", f.t / "config.toml");
  expect_error(capture(f.pool, dir_of(f.t.path()), declaration().owned_paths(), r),
               ErrorKind::integrity_mismatch,
               (f.t / "config.toml") + " is a symbolic link and is not captured");
  EXPECT_EQ(*list_incomplete_slots(f.pool), std::vector<std::string>{"slot-000000000003"});
}

TEST(Pool, RotationKeepsTheTenNewestUnheldSlotsAndEveryHeldOne) {
  PoolFixture f;
  make_dirs(f.slot_dir(1) + "/payload");  // incomplete: never counted, never pruned
  f.capture_now();
  f.capture_now();
  ASSERT_TRUE(hold(f.pool, "slot-000000000002", "first").ok());
  ASSERT_TRUE(hold(f.pool, "slot-000000000003", std::nullopt).ok());
  for (int i = 0; i < 11; ++i) f.capture_now();
  auto expected = slot_names(14, 5);
  expected.insert(expected.end(), {"slot-000000000003", "slot-000000000002"});
  EXPECT_EQ(f.listed(), expected);
  EXPECT_EQ(*list_incomplete_slots(f.pool), std::vector<std::string>{"slot-000000000001"});

  ASSERT_TRUE(release(f.pool, "slot-000000000002").ok());
  ASSERT_TRUE(release(f.pool, "slot-000000000003").ok());
  f.capture_now();
  EXPECT_EQ(f.listed(), slot_names(15, 6));
}

TEST(Pool, HoldsAtMostNineCompleteSlotsAndReadsReasonsBackTrimmed) {
  PoolFixture f;
  for (int i = 0; i < 10; ++i) f.capture_now();
  make_dirs(f.slot_dir(11));
  for (const std::string ref : {"slot-000000000011", "slot-000000000012", "slot-11"}) {
    expect_error(hold(f.pool, ref, std::nullopt), ErrorKind::integrity_mismatch,
                 ref + " is not a completed slot in this pool");
    expect_error(release(f.pool, ref), ErrorKind::integrity_mismatch,
                 ref + " is not a completed slot in this pool");
  }
  ASSERT_EQ(*hold(f.pool, slot_name(1), " keep for the demo "), HoldOutcome::held);
  EXPECT_EQ(read_text(f.slot_dir(1) + "/HELD"), " keep for the demo ");
  for (uint64_t n = 2; n <= 9; ++n)
    ASSERT_EQ(*hold(f.pool, slot_name(n), "r" + std::to_string(n)), HoldOutcome::held);
  const auto held = list_held(f.pool);
  ASSERT_TRUE(held.ok() && held->size() == 9);
  EXPECT_EQ(held->front().name + ":" + held->front().reason, "slot-000000000009:r9");
  EXPECT_EQ(held->back().reason, "keep for the demo");

  expect_error(hold(f.pool, "slot-000000000010", "ten"), ErrorKind::unsupported_operation,
               "holding slot-000000000010 would leave this pool of 10 no slot to rotate; release "
               "one of these first, and the reason each names is who would lose it: "
               "slot-000000000009 (r9), slot-000000000008 (r8), slot-000000000007 (r7), "
               "slot-000000000006 (r6), slot-000000000005 (r5), slot-000000000004 (r4), "
               "slot-000000000003 (r3), slot-000000000002 (r2), slot-000000000001 (keep for the "
               "demo)");
  EXPECT_FALSE(exists(f.slot_dir(10) + "/HELD"));
  EXPECT_EQ(*release(f.pool, "slot-000000000003"), ReleaseOutcome::released);
  EXPECT_EQ(*hold(f.pool, "slot-000000000010", "ten"), HoldOutcome::held);
}

// The refusals of a pool never made and of a reference that names no
// complete slot are compared end to end (ChangeCommands, Status).
TEST(Pool, ResolvesOnlyCompleteSlots) {
  PoolFixture f;
  const BackupPool never_made = pool_at(f.t / "no-pool");
  EXPECT_TRUE(prune(never_made).ok() && list_incomplete_slots(never_made)->empty());
  f.capture_now({}, {"install", "a", "", {}, {}, {}});
  f.capture_now({}, {"install", "b", "", {}, {}, {}});
  make_dirs(f.slot_dir(3) + "/payload");
  EXPECT_EQ(resolve_restore_source(f.pool, std::nullopt)->record.operation_id, "b");
  EXPECT_EQ(resolve_restore_source(f.pool, "slot-000000000001")->record.operation_id, "a");
  expect_error(resolve_restore_source(f.pool, "slot-000000000003"), ErrorKind::integrity_mismatch,
               "slot-000000000003 is not a completed backup of this target");
  EXPECT_EQ(slot_payload(*open_complete_slot(f.pool, "slot-000000000002"))->path(),
            f.slot_dir(2) + "/payload");
  EXPECT_FALSE(open_complete_slot(f.pool, "slot-000000000003").ok());
}

TEST(Pool, RefusesRecordsItCannotRead) {
  PoolFixture f;
  const std::string record = f.slot_dir(1) + "/slot.json";
  f.make_slot(1);
  for (const std::string text : {"not json", "{\"schema_version\":1,\"backup_ref\":\"x\"}", "[]"}) {
    write_text(record, text);
    expect_error(list_slots(f.pool), ErrorKind::state_unavailable,
                 record + " does not parse as a backup record");
  }
  write_text(record, "{\"schema_version\":2}");
  expect_error(list_slots(f.pool), ErrorKind::state_unavailable,
               "backup schema 2 is not the 1 this build writes");
  write_text(record, "{\"note\":1," + record_text("slot-000000000001").substr(1));
  EXPECT_EQ(f.listed(), std::vector<std::string>{"slot-000000000001"});
}

}  // namespace
}  // namespace velk
