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
  const std::string leftover = f.pool.dir + "/.pruning-slot-000000000001";
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
    EXPECT_FALSE(exists(f.pool.dir + "/.pruning-slot-000000000001"));
    expect_only_slots_2_to_11(f);
  }
  EXPECT_TRUE(interrupted) << "the prune finished every time before it could be killed";
}

}  // namespace
}  // namespace velk
