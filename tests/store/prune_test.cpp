// A prune interrupted part-way must not leave a half-deleted slot that a
// listing takes for a slot.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "store/child.h"
#include "store/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

constexpr int kSubdirs = 10;
constexpr int kFilesPerSubdir = 500;

void expect_only_slots_2_to_11(const PoolFixture& f) {
  EXPECT_EQ(f.listed(), slot_names(11, 2));
  EXPECT_TRUE(list_incomplete_slots(f.pool)->empty());
  EXPECT_FALSE(exists(f.slot_dir(1)));
}

TEST(Prune, ClearsTheLeftoverOfAnInterruptedPrune) {
  PoolFixture f;
  for (uint64_t n = 2; n <= 11; ++n) f.make_slot(n);
  // What a prune killed while deleting slot 1 leaves behind.
  const std::string leftover = f.pool.path + "/.pruning-slot-000000000001";
  write_text(leftover + "/payload/skills/a/SKILL.md", "half");
  expect_only_slots_2_to_11(f);
  ASSERT_TRUE(prune(f.pool).ok());
  EXPECT_FALSE(exists(leftover));
  expect_only_slots_2_to_11(f);
}

// Kills a child process while it prunes a large slot. Retried in case the
// child finishes before the parent sees the deletion start.
TEST(Prune, AKilledPruneLeavesNoHalfSlot) {
  bool interrupted = false;
  for (int attempt = 0; attempt < 3 && !interrupted; ++attempt) {
    PoolFixture f;
    f.make_slot(1);
    const std::string slot1 = f.slot_dir(1);
    for (int i = 0; i < kSubdirs * kFilesPerSubdir; ++i) {
      const std::string sub = slot1 + "/payload/d" + std::to_string(i / kFilesPerSubdir);
      if (i % kFilesPerSubdir == 0) make_dirs(sub);
      ::close(::open((sub + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644));
    }
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

TEST(Prune, AHoldRacingAPruneEndsHeldOrRefusedAndNeverLeavesAnIncompleteSlot) {
  // A prune reclaims slot 1 while another process holds and releases it as
  // fast as it can. Whatever interleaving happens, the pool stays a pool of
  // complete slots: a hold never brings a reclaimed slot back as a
  // directory holding only its hold.
  int held_at_end = 0, gone_at_end = 0;
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    PoolFixture f;
    // Slot 1 has a payload large enough that reclaiming it takes a moment.
    f.make_slot(1);
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
    // The prune starts once the holder is under way, so the two overlap.
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
    // The next prune settles whatever the race left.
    ASSERT_TRUE(prune(f.pool).ok());
    EXPECT_TRUE(list_incomplete_slots(f.pool)->empty());
    EXPECT_EQ(exists(f.slot_dir(1)), exists(f.slot_dir(1)) && hold_reason(f.slot(1)).has_value());
  }
  std::printf("slot 1 kept %d times, reclaimed %d times\n", held_at_end, gone_at_end);
}

}  // namespace
}  // namespace velk
