// hold and release through the binary: exact lines, the HELD marker on
// disk, and the refusals that leave the pool as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/fs.h"
#include "support/runner.h"
#include "support/temp_dir.h"
#include "support/write_path.h"

namespace velk {
namespace {

using testing::exists;
using testing::make_dirs;
using testing::read_text;
using testing::run_velk;
using testing::RunResult;
using testing::TempDir;

const std::string kSlot1 = "slot-000000000001";
const std::string kSlot2 = "slot-000000000002";

class HoldTest : public ::testing::Test {
 protected:
  std::string target() const { return dir_.path(); }
  std::string held_file(const std::string& slot) const {
    return dir_ / (".velk-setup-system/backups/" + slot + "/HELD");
  }
  // Each change captures one slot.
  void make_slots(int count) {
    for (int i = 0; i < count; ++i)
      ASSERT_TRUE(testing::install_files(target(), "op-" + std::to_string(i),
                                         {{"AGENTS.md", std::to_string(i)}})
                      .ok());
  }
  RunResult run(std::vector<std::string> args) const {
    args.insert(args.end(), {"--target", target()});
    return run_velk(args);
  }
  void expect_refusal(const RunResult& r, const std::string& message) const {
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "velk-setup-system: " + message + "\n");
  }

  TempDir dir_;
};

TEST_F(HoldTest, HoldingTwiceKeepsTheFirstReason) {
  make_slots(1);
  RunResult r = run({"hold", "--backup", kSlot1, "--reason", "before the migration"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, kSlot1 + " is held (before the migration). Retention will not reclaim it "
                            "until it is released.\n  release it with:  release --backup " +
                       kSlot1 + " --target " + target() + "\n");
  EXPECT_EQ(read_text(held_file(kSlot1)), "before the migration");

  r = run({"hold", "--backup", kSlot1, "--reason", "something else"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, kSlot1 + " was already held (before the migration).\n");
  EXPECT_EQ(read_text(held_file(kSlot1)), "before the migration");
}

TEST_F(HoldTest, ReleaseOfAnUnheldSlotChangesNothing) {
  make_slots(1);
  RunResult r = run({"release", "--backup", kSlot1});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, kSlot1 + " was not held; nothing to release.\n");

  ASSERT_EQ(run({"hold", "--backup", kSlot1}).exit_code, 0);
  EXPECT_EQ(read_text(held_file(kSlot1)), "no reason recorded");
  r = run({"release", "--backup", kSlot1});
  EXPECT_EQ(r.out, kSlot1 + " is released and will be reclaimed like any other slot.\n");
  EXPECT_FALSE(exists(held_file(kSlot1)));
}

TEST_F(HoldTest, WithoutABackupTheRefusalListsTheSlotsNewestFirst) {
  // An untouched target: nothing to name, and nothing created by asking.
  expect_refusal(run({"hold"}), "hold requires --backup <ref>, and this target has no backups");
  expect_refusal(run({"release"}),
                 "release requires --backup <ref>, and this target has no backups");
  EXPECT_FALSE(exists(dir_ / ".velk-setup-system"));

  make_slots(2);
  expect_refusal(run({"hold"}),
                 "hold requires --backup <ref>; this target holds " + kSlot2 + ", " + kSlot1);
  expect_refusal(run({"release"}),
                 "release requires --backup <ref>; this target holds " + kSlot2 + ", " + kSlot1);
}

TEST_F(HoldTest, ReferencesMustBeCompleteSlotsOfThisPool) {
  make_slots(1);
  const std::string rule =
      " is not a backup reference: a reference is slot- followed by exactly 12 digits, as "
      "`backups` lists them";
  expect_refusal(run({"hold", "--backup", "slot-1"}), "\"slot-1\"" + rule);
  expect_refusal(run({"release", "--backup", "SLOT-000000000001"}), "\"SLOT-000000000001\"" + rule);
  expect_refusal(run({"hold", "--backup", kSlot2}), kSlot2 + " is not a completed slot in this pool");
  // A slot whose capture never finished is not one either.
  make_dirs(dir_ / ".velk-setup-system/backups/slot-000000000005/payload");
  expect_refusal(run({"hold", "--backup", "slot-000000000005"}),
                 "slot-000000000005 is not a completed slot in this pool");
  EXPECT_FALSE(exists(held_file(kSlot1)));
}

TEST_F(HoldTest, NineHeldLeaveNoRoomForATenth) {
  make_slots(10);
  std::string named;
  for (int i = 1; i <= 9; ++i) {
    const std::string slot = "slot-00000000000" + std::to_string(i);
    const std::string reason = "keep " + std::to_string(i);
    ASSERT_EQ(run({"hold", "--backup", slot, "--reason", reason}).exit_code, 0);
    named = slot + " (" + reason + ")" + (named.empty() ? "" : ", ") + named;
  }
  expect_refusal(run({"hold", "--backup", "slot-000000000010"}),
                 "holding slot-000000000010 would leave this pool of 10 no slot to rotate; "
                 "release one of these first, and the reason each names is who would lose it: " +
                     named);
  EXPECT_FALSE(exists(held_file("slot-000000000010")));

  ASSERT_EQ(run({"release", "--backup", "slot-000000000004"}).exit_code, 0);
  EXPECT_EQ(run({"hold", "--backup", "slot-000000000010"}).exit_code, 0);
}

}  // namespace
}  // namespace velk
