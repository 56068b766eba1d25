// The backup pool: numbering, capture (and the copy it makes), rotation,
// holds, prune (killed part-way too) and restoring from a slot.
#include "store/pool.h"

#include <sys/resource.h>

#include <random>

#include "core/fs_at.h"
#include "support/tree_helpers.h"

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

// The reason is read back trimmed (BackupsCommand); here, in the refusal.
TEST(Pool, HoldsAtMostNineCompleteSlots) {
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
  for (uint64_t n = 2; n <= 9; ++n)
    ASSERT_EQ(*hold(f.pool, slot_name(n), "r" + std::to_string(n)), HoldOutcome::held);
  const auto held = list_held(f.pool);
  ASSERT_TRUE(held.ok() && held->size() == 9);
  EXPECT_EQ(held->front().name + ":" + held->front().reason, "slot-000000000009:r9");

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

// The whole tree of `from` into `to` (made first), as a capture copies.
Status copy_tree(const std::string& from, const std::string& to) {
  return copy_tree_at(dir_of(from).fd(), from, dir_of(to).fd(), to);
}

TEST(CopyTree, CopiesBytesAndPermissionBitsButNeverSetIdOrSticky) {
  TempDir t;
  std::mt19937 generator(7);
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (auto& c : big) c = static_cast<char>(generator());
  write_text(t / "src/run.sh", "#!/bin/sh\n", 0755);
  write_text(t / "src/a/b/empty", "", 0640);
  write_text(t / "src/a/big.bin", big, 0444);
  write_text(t / "src/a/sticky", "s", 01700);
  write_text(t / "src/a/setuid", "u", 04755);
  write_text(t / "src/a/setgid", "g", 02750);
  make_dirs(t / "src/empty-dir");

  auto copied = copy_tree(t / "src", t / "dst/deeper");
  ASSERT_TRUE(copied.ok()) << copied.error().full();
  EXPECT_EQ(read_text(t / "dst/deeper/run.sh"), "#!/bin/sh\n");
  EXPECT_EQ(read_text(t / "dst/deeper/a/big.bin"), big);
  EXPECT_EQ(read_text(t / "dst/deeper/a/b/empty"), "");
  EXPECT_TRUE(exists(t / "dst/deeper/empty-dir"));
  for (const auto& [path, mode] : {std::pair{"run.sh", 0755u}, {"a/b/empty", 0640u},
                                   {"a/big.bin", 0444u}, {"a/sticky", 0700u},
                                   {"a/setuid", 0755u}, {"a/setgid", 0750u}})
    EXPECT_EQ(mode_of(t / "dst/deeper/" + std::string(path)), mode) << path;
}

TEST(CopyTree, RefusesSocketsFifosAndUnrepresentableNames) {
  TempDir t;
  make_dirs(t / "socket");
  make_socket(t / "socket/s");
  expect_error(copy_tree(t / "socket", t / "out1"), ErrorKind::state_unavailable,
               "cannot copy " + (t / "socket/s") + " to " + (t / "out1/s"));

  make_dirs(t / "fifo");
  ASSERT_EQ(::mkfifo((t / "fifo/pipe").c_str(), 0644), 0);
  expect_returns_promptly(t / "fifo/pipe", [&] {
    expect_error(copy_tree(t / "fifo", t / "out2"), ErrorKind::state_unavailable,
                 "cannot copy " + (t / "fifo/pipe") + " to " + (t / "out2/pipe"));
  });
  EXPECT_FALSE(exists(t / "out2/pipe"));

  write_text(t / "name/bad\xff", "b");
  expect_error(copy_tree(t / "name", t / "out4"), ErrorKind::state_unavailable,
               (t / "name/bad\xff") + " has a name this kernel cannot represent");

  // Never written through an entry already at the destination.
  write_text(t / "src/run.sh", "new");
  write_text(t / "outside", "keep");
  make_dirs(t / "dst");
  make_link(t / "outside", t / "dst/run.sh");
  expect_error(copy_tree(t / "src", t / "dst"), ErrorKind::state_unavailable,
               "cannot copy " + (t / "src/run.sh") + " to " + (t / "dst/run.sh"));
  EXPECT_EQ(read_text(t / "outside"), "keep");
}

constexpr int kSubdirs = 10;
constexpr int kFilesPerSubdir = 500;

void expect_only_slots_2_to_11(const PoolFixture& f) {
  EXPECT_EQ(f.listed(), slot_names(11, 2));
  EXPECT_TRUE(list_incomplete_slots(f.pool)->empty());
  EXPECT_FALSE(exists(f.slot_dir(1)));
}

// A prune killed part-way must leave no half-deleted slot that a listing
// takes for a slot. Retried in case the child finishes before the parent
// sees the deletion start.
TEST(Prune, AKilledPruneLeavesNoHalfSlot) {
  bool interrupted = false;
  for (int attempt = 0; attempt < 3 && !interrupted; ++attempt) {
    PoolFixture f;
    f.make_slot(1);
    const std::string slot1 = f.slot_dir(1);
    for (int i = 0; i < kSubdirs * kFilesPerSubdir; ++i)
      write_text(slot1 + "/payload/d" + std::to_string(i / kFilesPerSubdir) + "/f" +
                     std::to_string(i), "");
    for (uint64_t n = 2; n <= 11; ++n) f.make_slot(n);

    // Deletion has begun once slot 1 has lost its name, its record or one
    // of its subdirectories, whichever the prune does first.
    const auto deletion_started = [&] {
      struct stat st;
      if (::lstat(slot1.c_str(), &st) != 0 || ::lstat((slot1 + "/slot.json").c_str(), &st) != 0 ||
          ::lstat((slot1 + "/payload").c_str(), &st) != 0)
        return true;
      return st.st_nlink < 2 + kSubdirs;
    };
    const pid_t child = spawn([&] {
      ::setpriority(PRIO_PROCESS, 0, 19);
      ::_exit(prune(f.pool).ok() ? 0 : 1);
    });
    interrupted = reap(child, deletion_started) == SIGKILL;
    expect_only_slots_2_to_11(f);
    ASSERT_TRUE(prune(f.pool).ok());
    EXPECT_FALSE(exists(f.pool.path + "/.pruning-slot-000000000001"));
    expect_only_slots_2_to_11(f);
  }
  EXPECT_TRUE(interrupted) << "the prune finished every time before it could be killed";
}

// A prune reclaims slot 1 while another process holds and releases it as fast
// as it can: a hold must never bring a reclaimed slot back as a directory
// holding only its hold.
TEST(Prune, AHoldRacingAPruneEndsHeldOrRefusedAndNeverLeavesAnIncompleteSlot) {
  int held_at_end = 0, gone_at_end = 0;
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    PoolFixture f;
    f.make_slot(1);  // with a payload that takes a moment to reclaim
    for (int i = 0; i < 300; ++i)
      write_text(f.slot_dir(1) + "/payload/f" + std::to_string(i), "x");
    for (uint64_t n = 2; n <= 11; ++n) f.make_slot(n);
    const std::string stop = f.t / "stop";
    const std::string ready = f.t / "ready";
    const pid_t holder = spawn([&] {
      for (bool first = true; !exists(stop); first = false) {
        (void)hold(f.pool, "slot-000000000001", "racing");
        if (exists(stop)) break;
        (void)release(f.pool, "slot-000000000001");
        if (first) write_text(ready, "");
      }
    });
    for (int wait = 0; wait < 5000 && !exists(ready); ++wait) ::usleep(1000);
    const Status pruned = prune(f.pool);
    write_text(stop, "");
    EXPECT_EQ(reap(holder), 0);
    EXPECT_TRUE(pruned.ok()) << pruned.error().full();

    EXPECT_TRUE(list_incomplete_slots(f.pool)->empty());
    if (exists(f.slot_dir(1))) {
      EXPECT_TRUE(exists(f.slot_dir(1) + "/slot.json"));
      ++held_at_end;
    } else {
      ++gone_at_end;
    }
    ASSERT_TRUE(prune(f.pool).ok());
    EXPECT_TRUE(list_incomplete_slots(f.pool)->empty());
    EXPECT_EQ(exists(f.slot_dir(1)), exists(f.slot_dir(1)) && hold_reason(f.slot(1)).has_value());
  }
  std::printf("slot 1 kept %d times, reclaimed %d times\n", held_at_end, gone_at_end);
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
  const SlotEntry slot = resolve_restore_source(f.pool, f.capture_now()).value();
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

TEST(RestorePreviousState, ASlotThatKeptNeitherLeavesTheStateFile) {
  PoolFixture f;
  write_text(f.t / "MIREL-VELK-PROVIDER.json", "C");
  f.make_slot(9);
  ASSERT_TRUE(restore_previous_state(f.slot(9), dir_of(f.t.path())).ok());
  EXPECT_EQ(read_text(f.t / "MIREL-VELK-PROVIDER.json"), "C");
}

}  // namespace
}  // namespace velk
