// hold and release through the binary: exact lines, the HELD marker on
// disk, and the refusals that leave the pool as it was.
#include <gtest/gtest.h>

#include "consumer.h"
#include "support/temp_dir.h"
#include "support/write_path.h"

namespace velk {
namespace {

using namespace velk::testing;

const std::string kSlot1 = "slot-000000000001";
const std::string kSlot2 = "slot-000000000002";

class HoldTest : public ::testing::Test {
 protected:
  std::string held_file(const std::string& slot) const {
    return dir_ / (".velk-setup-system/backups/" + slot + "/HELD");
  }
  // Each change captures one slot.
  void make_slots(int count) {
    for (int i = 0; i < count; ++i)
      ASSERT_TRUE(
          install_files(dir_.path(), "op-" + std::to_string(i), {{"AGENTS.md", std::to_string(i)}})
              .ok());
  }
  RunResult run(Words args) const {
    args.insert(args.end(), {"--target", dir_.path()});
    return run_velk(args);
  }

  TempDir dir_;
};

TEST_F(HoldTest, HoldingTwiceKeepsTheFirstReasonAndReleasingTwiceChangesNothing) {
  make_slots(1);
  expect_output(run({"hold", "--backup", kSlot1, "--reason", "before the migration"}),
                kSlot1 + " is held (before the migration). Retention will not reclaim it until "
                         "it is released.\n  release it with:  release --backup " + kSlot1 +
                    " --target " + dir_.path() + "\n");
  expect_output(run({"hold", "--backup", kSlot1, "--reason", "something else"}),
                kSlot1 + " was already held (before the migration).\n");
  EXPECT_EQ(read_text(held_file(kSlot1)), "before the migration");

  expect_output(run({"release", "--backup", kSlot1}),
                kSlot1 + " is released and will be reclaimed like any other slot.\n");
  EXPECT_FALSE(exists(held_file(kSlot1)));
  expect_output(run({"release", "--backup", kSlot1}),
                kSlot1 + " was not held; nothing to release.\n");
  ASSERT_EQ(run({"hold", "--backup", kSlot1}).exit_code, 0);
  EXPECT_EQ(read_text(held_file(kSlot1)), "no reason recorded");
}

TEST_F(HoldTest, WithoutABackupTheRefusalListsTheSlotsNewestFirst) {
  // An untouched target: nothing to name, and nothing created by asking.
  expect_failure(run({"hold"}), "hold requires --backup <ref>, and this target has no backups");
  expect_failure(run({"release"}),
                 "release requires --backup <ref>, and this target has no backups");
  EXPECT_FALSE(exists(dir_ / ".velk-setup-system"));

  make_slots(2);
  expect_failure(run({"hold"}),
                 "hold requires --backup <ref>; this target holds " + kSlot2 + ", " + kSlot1);
  expect_failure(run({"release"}),
                 "release requires --backup <ref>; this target holds " + kSlot2 + ", " + kSlot1);
}

TEST_F(HoldTest, ReferencesMustBeCompleteSlotsOfThisPool) {
  make_slots(1);
  expect_failure(run({"hold", "--backup", "slot-1"}),
                 "\"slot-1\" is not a backup reference: a reference is slot- followed by exactly "
                 "12 digits, as `backups` lists them");
  expect_failure(run({"release", "--backup", kSlot2}),
                 kSlot2 + " is not a completed slot in this pool");
  EXPECT_FALSE(exists(held_file(kSlot1)));
}

}  // namespace
}  // namespace velk
