// A prune interrupted part-way must not leave a half-deleted slot that a
// listing takes for a slot.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "store/pool.h"
#include "store/tree_helpers.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::exists;
using testing::kEmptyDigest;
using testing::make_dirs;
using testing::TempDir;
using testing::write_text;

struct PoolFixture {
  TempDir t;
  BackupPool pool{t / ".velk-setup-system/backups", 10};
  PoolFixture() { make_dirs(pool.dir); }
  std::string slot_dir(uint64_t n) const { return pool.dir + "/" + slot_name(n); }

  void make_slot(uint64_t n) const {
    const std::string name = slot_name(n);
    make_dirs(slot_dir(n) + "/payload");
    write_text(slot_dir(n) + "/slot.json",
               "{\"backup_ref\":\"" + name +
                   "\",\"operation\":\"install\",\"operation_id\":\"x\",\"schema_version\":1,"
                   "\"target_identity_digest\":\"" +
                   std::string(kEmptyDigest) + "\"}");
  }

  std::vector<std::string> listed() const {
    auto slots = list_slots(pool);
    EXPECT_TRUE(slots.ok()) << slots.error().full();
    std::vector<std::string> out;
    if (slots.ok())
      for (const auto& s : *slots) out.push_back(s.name);
    return out;
  }
};

std::vector<std::string> names_from(uint64_t high, uint64_t low) {
  std::vector<std::string> out;
  for (uint64_t n = high; n >= low; --n) out.push_back(slot_name(n));
  return out;
}

void fill_with_files(const std::string& dir, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string sub = dir + "/d" + std::to_string(i / 1000);
    if (i % 1000 == 0) make_dirs(sub);
    const int fd = ::open((sub + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
}

TEST(Prune, ClearsTheLeftoverOfAnInterruptedPrune) {
  PoolFixture f;
  for (uint64_t n = 2; n <= 11; ++n) f.make_slot(n);
  // What a prune killed while deleting slot 1 leaves: the renamed, partly
  // emptied directory, its record already gone.
  const std::string leftover = f.pool.dir + "/.pruning-slot-000000000001";
  write_text(leftover + "/payload/skills/a/SKILL.md", "half");

  EXPECT_EQ(f.listed(), names_from(11, 2));
  auto incomplete = list_incomplete_slots(f.pool);
  ASSERT_TRUE(incomplete.ok());
  EXPECT_TRUE(incomplete->empty());

  ASSERT_TRUE(prune(f.pool).ok());
  EXPECT_FALSE(exists(leftover));
  EXPECT_EQ(f.listed(), names_from(11, 2));
}

// Kills a child process while it prunes a large slot, then checks what the
// pool looks like. Retried a few times in case the child finishes before
// the parent sees the deletion start.
TEST(Prune, AKilledPruneLeavesNoHalfSlot) {
  bool interrupted = false;
  for (int attempt = 0; attempt < 3 && !interrupted; ++attempt) {
    PoolFixture f;
    f.make_slot(1);
    fill_with_files(f.slot_dir(1) + "/payload", 20000);
    for (uint64_t n = 2; n <= 11; ++n) f.make_slot(n);
    const std::string leftover = f.pool.dir + "/.pruning-slot-000000000001";

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::setpriority(PRIO_PROCESS, 0, 19);
      _exit(prune(f.pool).ok() ? 0 : 1);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    bool exited = false;
    while (std::chrono::steady_clock::now() < deadline) {
      if (exists(leftover)) break;
      if (::waitpid(child, &status, WNOHANG) == child) {
        exited = true;
        break;
      }
    }
    if (!exited) {
      ::kill(child, SIGKILL);
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      interrupted = WIFSIGNALED(status) && exists(leftover);
    }

    // Whether or not the kill came mid-way, no listing shows slot 1.
    EXPECT_EQ(f.listed(), names_from(11, 2));
    auto incomplete = list_incomplete_slots(f.pool);
    ASSERT_TRUE(incomplete.ok());
    EXPECT_TRUE(incomplete->empty());
    EXPECT_FALSE(exists(f.slot_dir(1)));

    ASSERT_TRUE(prune(f.pool).ok());
    EXPECT_FALSE(exists(leftover));
    EXPECT_EQ(f.listed(), names_from(11, 2));
  }
  EXPECT_TRUE(interrupted) << "the prune finished every time before it could be killed";
}

}  // namespace
}  // namespace velk
