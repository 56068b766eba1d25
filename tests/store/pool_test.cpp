#include "store/pool.h"

#include <gtest/gtest.h>

#include "store/tree_helpers.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::exists;
using testing::kEmptyDigest;
using testing::make_dirs;
using testing::make_link;
using testing::mode_of;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

// A target with its pool directory, as opening the store leaves it.
struct PoolFixture {
  TempDir t;
  BackupPool pool{t / ".velk-setup-system/backups", 10};
  PoolFixture() { make_dirs(pool.dir); }
  std::string slot_dir(uint64_t n) const { return pool.dir + "/" + slot_name(n); }
};

CaptureRequest request(std::string operation_id = "op-1") {
  return CaptureRequest{"install", std::move(operation_id), std::string(kEmptyDigest),
                        std::nullopt, std::nullopt};
}

std::string capture_ok(const PoolFixture& f, const CaptureRequest& r = request()) {
  auto name = capture(f.pool, f.t.path(), declaration().owned_paths(), r);
  EXPECT_TRUE(name.ok()) << name.error().full();
  return name.ok() ? *name : "";
}

std::vector<std::string> slot_names(const BackupPool& pool) {
  auto slots = list_slots(pool);
  EXPECT_TRUE(slots.ok()) << slots.error().full();
  std::vector<std::string> out;
  if (slots.ok())
    for (const auto& s : *slots) out.push_back(s.name);
  return out;
}

std::string record_text(const std::string& name, const std::string& operation_id = "x") {
  return "{\"backup_ref\":\"" + name + "\",\"operation\":\"install\",\"operation_id\":\"" +
         operation_id + "\",\"schema_version\":1,"
         "\"setup_definition_digest\":null,\"setup_id\":null,\"target_identity_digest\":\"" +
         std::string(kEmptyDigest) + "\"}";
}

// A complete slot made by hand, without capturing.
void make_slot(const PoolFixture& f, uint64_t n) {
  make_dirs(f.slot_dir(n) + "/payload");
  write_text(f.slot_dir(n) + "/slot.json", record_text(slot_name(n)));
}

void expect_error(const Status& status, ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(status.ok()) << message;
  EXPECT_EQ(status.error().kind, kind);
  EXPECT_EQ(status.error().message, message);
}

template <class T>
void expect_error(const Result<T>& result, ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(result.ok()) << message;
  EXPECT_EQ(result.error().kind, kind);
  EXPECT_EQ(result.error().message, message);
}

TEST(SlotRef, AcceptsExactlySlotAndTwelveDigits) {
  EXPECT_EQ(slot_name(1), "slot-000000000001");
  EXPECT_EQ(slot_name(999999999999), "slot-999999999999");
  EXPECT_TRUE(parse_slot_ref("slot-000000000000").ok());
  EXPECT_TRUE(parse_slot_ref("slot-123456789012").ok());
  for (const std::string text : {"slot-1", "slot-0000000000001", "SLOT-000000000001",
                                 "slot-00000000000a", "slot-00000000001", "", "slot-+00000000001"}) {
    expect_error(parse_slot_ref(text), ErrorKind::integrity_mismatch,
                 text + " is not a backup reference");
  }
}

TEST(Capture, NumbersSlotsOneAboveTheHighest) {
  PoolFixture f;
  EXPECT_EQ(capture_ok(f), "slot-000000000001");

  PoolFixture g;
  make_slot(g, 7);
  make_dirs(g.slot_dir(3));  // an incomplete slot counts for numbering
  EXPECT_EQ(capture_ok(g), "slot-000000000008");
}

TEST(Capture, NeverReusesTheHighestNumber) {
  PoolFixture f;
  make_slot(f, 999999999999);
  auto name = capture(f.pool, f.t.path(), declaration().owned_paths(), request());
  expect_error(name, ErrorKind::state_unavailable,
               "cannot create backup slot " + f.slot_dir(999999999999));
  EXPECT_EQ(read_text(f.slot_dir(999999999999) + "/slot.json"), record_text("slot-999999999999"));
}

TEST(Listing, IgnoresEntriesThatAreNotSlotDirectories) {
  PoolFixture f;
  make_slot(f, 4);
  write_text(f.pool.dir + "/slot-000000000009", "a file, not a slot");
  make_dirs(f.pool.dir + "/notes");
  make_dirs(f.pool.dir + "/slot-1");
  make_dirs(f.pool.dir + "/.pruning-slot-000000000002");

  auto dirs = list_slot_dirs(f.pool);
  ASSERT_TRUE(dirs.ok());
  EXPECT_EQ(*dirs, std::vector<std::string>{f.slot_dir(4)});
  EXPECT_EQ(slot_names(f.pool), std::vector<std::string>{"slot-000000000004"});
  auto incomplete = list_incomplete_slots(f.pool);
  ASSERT_TRUE(incomplete.ok());
  EXPECT_TRUE(incomplete->empty());
  EXPECT_EQ(capture_ok(f), "slot-000000000005");
}

TEST(Capture, CopiesTheSurfacesAndWritesTheRecordAndThePreviousState) {
  PoolFixture f;
  write_text(f.t / "AGENTS.md", "be brief\n", 0755);
  write_text(f.t / "skills/a/SKILL.md", "skill a\n", 0600);
  write_text(f.t / "plugins/known_marketplaces.json", "[]");
  write_text(f.t / "auth.json", "secret");
  write_text(f.t / "notes.txt", "mine");

  const std::string first = capture_ok(f);
  const std::string payload = f.slot_dir(1) + "/payload";
  EXPECT_EQ(read_text(payload + "/AGENTS.md"), "be brief\n");
  EXPECT_EQ(mode_of(payload + "/AGENTS.md"), 0755u);
  EXPECT_EQ(read_text(payload + "/skills/a/SKILL.md"), "skill a\n");
  EXPECT_EQ(mode_of(payload + "/skills/a/SKILL.md"), 0600u);
  EXPECT_EQ(read_text(payload + "/plugins/known_marketplaces.json"), "[]");
  EXPECT_FALSE(exists(payload + "/auth.json"));
  EXPECT_FALSE(exists(payload + "/notes.txt"));
  EXPECT_FALSE(exists(payload + "/config.toml"));
  EXPECT_EQ(read_text(f.slot_dir(1) + "/slot.json"), record_text(first, "op-1"));
  EXPECT_TRUE(exists(f.slot_dir(1) + "/previous-state.absent"));
  EXPECT_FALSE(exists(f.slot_dir(1) + "/previous-state.json"));

  write_text(f.t / "MIREL-VELK-PROVIDER.json", "{\"state_schema\":4}");
  CaptureRequest r = request("op-2");
  r.operation = "remove";
  r.identity = "sha256:" + std::string(64, 'a');
  r.setup_id = "minimal";
  r.setup_definition_digest = "sha256:" + std::string(64, 'b');
  EXPECT_EQ(capture_ok(f, r), "slot-000000000002");
  EXPECT_EQ(read_text(f.slot_dir(2) + "/previous-state.json"), "{\"state_schema\":4}");
  EXPECT_FALSE(exists(f.slot_dir(2) + "/previous-state.absent"));

  auto slots = list_slots(f.pool);
  ASSERT_TRUE(slots.ok()) << slots.error().full();
  ASSERT_EQ(slots->size(), 2u);
  const SlotEntry& newest = slots->front();
  EXPECT_EQ(newest.name, "slot-000000000002");
  EXPECT_EQ(newest.dir, f.slot_dir(2));
  EXPECT_EQ(newest.record.backup_ref, "slot-000000000002");
  EXPECT_EQ(newest.record.operation, "remove");
  EXPECT_EQ(newest.record.operation_id, "op-2");
  EXPECT_EQ(newest.record.target_identity_digest, r.identity);
  EXPECT_EQ(newest.record.setup_id, "minimal");
  EXPECT_EQ(newest.record.setup_definition_digest, r.setup_definition_digest);
  EXPECT_EQ(slots->back().record.setup_id, std::nullopt);
}

TEST(Capture, ALinkedSurfaceLeavesAnIncompleteSlot) {
  PoolFixture f;
  write_text(f.t / "real.md", "r");
  make_link("real.md", f.t / "AGENTS.md");
  auto name = capture(f.pool, f.t.path(), declaration().owned_paths(), request());
  expect_error(name, ErrorKind::integrity_mismatch,
               (f.t / "AGENTS.md") + " is a symbolic link and is not captured");
  auto incomplete = list_incomplete_slots(f.pool);
  ASSERT_TRUE(incomplete.ok());
  EXPECT_EQ(*incomplete, std::vector<std::string>{f.slot_dir(1)});
  EXPECT_TRUE(slot_names(f.pool).empty());
}

TEST(Prune, KeepsTheTenNewestUnheldSlotsAndEveryHeldOne) {
  PoolFixture f;
  write_text(f.t / "AGENTS.md", "a");
  for (int i = 0; i < 12; ++i) capture_ok(f);
  std::vector<std::string> expected;
  for (uint64_t n = 12; n >= 3; --n) expected.push_back(slot_name(n));
  EXPECT_EQ(slot_names(f.pool), expected);
  EXPECT_FALSE(exists(f.slot_dir(1)));

  PoolFixture g;
  capture_ok(g);
  capture_ok(g);
  ASSERT_TRUE(hold(g.pool, "slot-000000000001", "first").ok());
  ASSERT_TRUE(hold(g.pool, "slot-000000000002", std::nullopt).ok());
  for (int i = 0; i < 10; ++i) capture_ok(g);
  const auto names = slot_names(g.pool);
  EXPECT_EQ(names.size(), 12u);
  EXPECT_EQ(names.back(), "slot-000000000001");

  // Once released, the old slots are reclaimed by the next capture.
  ASSERT_TRUE(release(g.pool, "slot-000000000001").ok());
  ASSERT_TRUE(release(g.pool, "slot-000000000002").ok());
  capture_ok(g);
  expected.clear();
  for (uint64_t n = 13; n >= 4; --n) expected.push_back(slot_name(n));
  EXPECT_EQ(slot_names(g.pool), expected);
}

TEST(Hold, AtMostNineSlotsAreHeld) {
  PoolFixture f;
  for (int i = 0; i < 10; ++i) capture_ok(f);
  for (uint64_t n = 1; n <= 9; ++n) {
    auto held = hold(f.pool, slot_name(n), "r" + std::to_string(n));
    ASSERT_TRUE(held.ok()) << held.error().full();
    EXPECT_EQ(*held, HoldOutcome::held);
  }
  auto refused = hold(f.pool, "slot-000000000010", "ten");
  expect_error(refused, ErrorKind::unsupported_operation,
               "holding slot-000000000010 would leave this pool of 10 no slot to rotate; release "
               "one of these first, and the reason each names is who would lose it: "
               "slot-000000000009 (r9), slot-000000000008 (r8), slot-000000000007 (r7), "
               "slot-000000000006 (r6), slot-000000000005 (r5), slot-000000000004 (r4), "
               "slot-000000000003 (r3), slot-000000000002 (r2), slot-000000000001 (r1)");
  EXPECT_FALSE(exists(f.slot_dir(10) + "/HELD"));

  auto released = release(f.pool, "slot-000000000003");
  ASSERT_TRUE(released.ok());
  EXPECT_EQ(*released, ReleaseOutcome::released);
  auto held = hold(f.pool, "slot-000000000010", "ten");
  ASSERT_TRUE(held.ok()) << held.error().full();
  EXPECT_EQ(*held, HoldOutcome::held);
}

TEST(Hold, RecordsTheReasonAndReadsItBackTrimmed) {
  PoolFixture f;
  capture_ok(f);
  capture_ok(f);
  capture_ok(f);
  ASSERT_TRUE(hold(f.pool, "slot-000000000001", std::nullopt).ok());
  EXPECT_EQ(read_text(f.slot_dir(1) + "/HELD"), "no reason recorded");
  ASSERT_TRUE(hold(f.pool, "slot-000000000002", "  keep for the demo ").ok());
  EXPECT_EQ(read_text(f.slot_dir(2) + "/HELD"), "  keep for the demo ");
  write_text(f.slot_dir(3) + "/HELD", "   ");

  auto held = list_held(f.pool);
  ASSERT_TRUE(held.ok());
  ASSERT_EQ(held->size(), 3u);
  EXPECT_EQ((*held)[0].name, "slot-000000000003");
  EXPECT_EQ((*held)[0].reason, "no reason recorded");
  EXPECT_EQ((*held)[1].reason, "keep for the demo");
  EXPECT_EQ((*held)[2].reason, "no reason recorded");

  auto again = hold(f.pool, "slot-000000000002", "other");
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, HoldOutcome::already_held);
  EXPECT_EQ(read_text(f.slot_dir(2) + "/HELD"), "  keep for the demo ");

  ASSERT_TRUE(release(f.pool, "slot-000000000002").ok());
  auto not_held = release(f.pool, "slot-000000000002");
  ASSERT_TRUE(not_held.ok());
  EXPECT_EQ(*not_held, ReleaseOutcome::not_held);
}

TEST(Hold, NeedsACompleteSlot) {
  PoolFixture f;
  capture_ok(f);
  make_dirs(f.slot_dir(2));
  for (const std::string ref : {"slot-000000000002", "slot-000000000005", "slot-2"}) {
    expect_error(hold(f.pool, ref, std::nullopt), ErrorKind::integrity_mismatch,
                 ref + " is not a completed slot in this pool");
    expect_error(release(f.pool, ref), ErrorKind::integrity_mismatch,
                 ref + " is not a completed slot in this pool");
  }
  EXPECT_FALSE(exists(f.slot_dir(2) + "/HELD"));
}

TEST(IncompleteSlot, IsNotListedNotRestorableAndNeverPruned) {
  PoolFixture f;
  make_dirs(f.slot_dir(1) + "/payload");
  for (int i = 0; i < 11; ++i) capture_ok(f);

  const auto names = slot_names(f.pool);
  ASSERT_EQ(names.size(), 10u);
  EXPECT_EQ(names.front(), "slot-000000000012");
  EXPECT_EQ(names.back(), "slot-000000000003");
  EXPECT_TRUE(exists(f.slot_dir(1)));
  auto incomplete = list_incomplete_slots(f.pool);
  ASSERT_TRUE(incomplete.ok());
  EXPECT_EQ(*incomplete, std::vector<std::string>{f.slot_dir(1)});

  expect_error(slot_payload(f.pool, "slot-000000000001"), ErrorKind::integrity_mismatch,
               "backup slot-000000000001 is absent or incomplete");
  expect_error(slot_payload(f.pool, "slot-000000000002"), ErrorKind::integrity_mismatch,
               "backup slot-000000000002 is absent or incomplete");
  auto payload = slot_payload(f.pool, "slot-000000000003");
  ASSERT_TRUE(payload.ok());
  EXPECT_EQ(*payload, f.slot_dir(3) + "/payload");
  expect_error(resolve_restore_source(f.pool, std::string("slot-000000000001")),
               ErrorKind::integrity_mismatch,
               "slot-000000000001 is not a completed backup of this target");
}

TEST(RestoreSource, IsTheNewestOrTheNamedCompleteSlot) {
  PoolFixture f;
  expect_error(resolve_restore_source(f.pool, std::nullopt), ErrorKind::state_unavailable,
               "this target has no backup to restore");
  capture_ok(f, request("a"));
  capture_ok(f, request("b"));
  auto newest = resolve_restore_source(f.pool, std::nullopt);
  ASSERT_TRUE(newest.ok());
  EXPECT_EQ(newest->name, "slot-000000000002");
  EXPECT_EQ(newest->record.operation_id, "b");
  auto named = resolve_restore_source(f.pool, std::string("slot-000000000001"));
  ASSERT_TRUE(named.ok());
  EXPECT_EQ(named->record.operation_id, "a");
  expect_error(resolve_restore_source(f.pool, std::string("slot-1")),
               ErrorKind::integrity_mismatch, "slot-1 is not a backup reference");
}

TEST(Listing, RefusesRecordsItCannotRead) {
  PoolFixture f;
  make_slot(f, 1);
  const std::string record = f.slot_dir(1) + "/slot.json";

  write_text(record, "not json");
  auto slots = list_slots(f.pool);
  expect_error(slots, ErrorKind::state_unavailable, record + " does not parse as a backup record");
  EXPECT_TRUE(slots.error().has_cause());

  write_text(record, "{\"schema_version\":1,\"backup_ref\":\"slot-000000000001\"}");
  expect_error(list_slots(f.pool), ErrorKind::state_unavailable,
               record + " does not parse as a backup record");

  write_text(record, "{\"schema_version\":2}");
  expect_error(list_slots(f.pool), ErrorKind::state_unavailable,
               "backup schema 2 is not the 1 this build writes");

  // Members this build does not know are ignored.
  std::string extra = record_text("slot-000000000001");
  extra.insert(1, "\"note\":\"hi\",");
  write_text(record, extra);
  EXPECT_EQ(slot_names(f.pool), std::vector<std::string>{"slot-000000000001"});
}

}  // namespace
}  // namespace velk
