// Kills a real process in the write path at each step after the journal is
// published: planning is refused, the binary recovers, the target is back.
// Kills at random moments are the crash campaign's and CrashSafety's.
#include "store/journal.h"
#include "support/tree_helpers.h"
#include "support/runner.h"
#include "support/write_path.h"

namespace velk {
namespace {

using namespace velk::testing;

int install_killed_at(const std::string& target, const std::string& id, const Files& files,
                      PerformStep step) {
  return reap(spawn([&] {
    auto r = install_files(target, id, files, std::nullopt, [step](PerformStep at) {
      if (at == step) ::raise(SIGKILL);
    });
    ::_exit(r.ok() ? 0 : 3);
  }));
}

std::string resolved_message(const std::string& target) {
  const auto store = locate_target_store(target);
  if (!store.ok()) return store.error().message;
  auto incomplete = list_incomplete_slots(store->pool);
  if (!incomplete.ok()) return incomplete.error().message;
  const Status s = check_resolved(store->control, store->pool.path, *incomplete);
  return s.ok() ? "" : s.error().message;
}

std::string recover_output(const std::string& target) {
  const auto r = run_velk({"recover-operation", "--target", target, "--json"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return r.out;
}

const Files kFirst = {{"AGENTS.md", "first agents\n"}, {"hooks/run.sh", "echo first\n"},
                      {"skills/a/SKILL.md", "skill a\n"}};
const Files kSecond = {{"AGENTS.md", "second agents\n"}, {"agents/new.md", "new agent\n"},
                       {"hooks/run.sh", "echo second\n"}};

// Content the product and the user keep beside what this provider owns.
const Files kSeed = {{"plugins/known_marketplaces.json", "{\"kept\":true}\n"},
                     {"auth.json", "secret\n"}, {"notes.txt", "the user's own\n"}};
void seed_target(const TempDir& t) {
  for (const auto& [path, bytes] : kSeed) write_text(t / path, bytes);
}

TEST(Crash, EveryKillBetweenPublishingAndCommittingIsUndoneByRecovery) {
  const PerformStep steps[] = {PerformStep::journal_published, PerformStep::effects_made,
                               PerformStep::identity_measured, PerformStep::state_written};
  for (const bool managed_before : {false, true}) {
    for (const PerformStep step : steps) {
      SCOPED_TRACE(std::to_string(int(step)) + (managed_before ? " managed" : ""));
      TempDir t;
      seed_target(t);
      if (managed_before) {
        ASSERT_TRUE(install_files(t.path(), "op-1", kFirst).ok());
      } else {
        write_text(t / "AGENTS.md", "hand written\n");
        write_text(t / "skills/mine/SKILL.md", "mine\n");
        write_text(t / "hooks/pre.sh", "echo pre\n", 0755);
      }
      const std::string before = identity_now(t.path());
      const auto state_before = state_bytes(t.path());
      const std::string slot = managed_before ? "slot-000000000002" : "slot-000000000001";

      ASSERT_EQ(install_killed_at(t.path(), "op-2", kSecond, step), SIGKILL);

      EXPECT_EQ(resolved_message(t.path()),
                "operation op-2 is journaled as prepared; run recovery before planning");
      EXPECT_EQ(recover_output(t.path()),
                R"({"state":"verified","recovered":true,"phase":"prepared","restored_from":")" +
                    slot + R"(","target_identity_digest":")" + before + "\"}\n");

      EXPECT_EQ(identity_now(t.path()), before);
      EXPECT_EQ(state_bytes(t.path()), state_before);
      EXPECT_FALSE(exists(t / "agents/new.md"));
      EXPECT_FALSE(exists(t / ".velk-setup-system/journal.json"));
      for (const auto& [path, bytes] : kSeed) EXPECT_EQ(read_text(t / path), bytes);
      if (!managed_before) {
        EXPECT_EQ(mode_of(t / "hooks/pre.sh"), 0755u);
      }
      EXPECT_EQ(resolved_message(t.path()), "");

      const auto again = install_files(t.path(), "op-3", kSecond);
      ASSERT_TRUE(again.ok()) << again.error().full();
      EXPECT_EQ(again->state.previous_verified_identity,
                managed_before ? std::optional<std::string>(before) : std::nullopt);
    }
  }
}

TEST(Crash, AKillAfterTheCommitLeavesOnlyTheCleanup) {
  TempDir t;
  seed_target(t);
  ASSERT_TRUE(install_files(t.path(), "op-1", kFirst).ok());
  ASSERT_EQ(install_killed_at(t.path(), "op-2", kSecond, PerformStep::journal_committed), SIGKILL);

  EXPECT_EQ(resolved_message(t.path()),
            "operation op-2 is journaled as committed; run recovery before planning");
  const std::string after = identity_now(t.path());
  const auto state_after = state_bytes(t.path());
  ASSERT_TRUE(state_after.has_value());
  EXPECT_NE(state_after->find("\"operation_id\":\"op-2\""), std::string::npos);

  EXPECT_EQ(recover_output(t.path()),
            R"({"state":"verified","recovered":true,"phase":"committed","target_identity_digest":")" +
                after + "\"}\n");
  EXPECT_EQ(identity_now(t.path()), after);
  EXPECT_EQ(state_bytes(t.path()), state_after);
  EXPECT_EQ(read_text(t / "agents/new.md"), "new agent\n");
  EXPECT_EQ(resolved_message(t.path()), "");
}

TEST(Crash, AFailedCaptureLeavesASlotThatRecoveryClears) {
  TempDir t;
  seed_target(t);
  // A name the capture cannot copy stops it half way, as a kill would.
  write_text(t / "skills/x/\xff-bad", "unnamed\n");
  const std::string before = identity_now(t.path());
  const auto failed = install_files(t.path(), "op-1", kSecond);
  ASSERT_FALSE(failed.ok());

  const std::string slot = t / ".velk-setup-system/backups/slot-000000000001";
  EXPECT_EQ(resolved_message(t.path()),
            "backup slot " + slot + " is incomplete; run recovery before planning");

  EXPECT_EQ(recover_output(t.path()),
            R"({"state":"verified","recovered":true,"detail":"cleared the incomplete backup slot(s) slot-000000000001; no journal is published"})"
            "\n");
  EXPECT_FALSE(exists(slot));
  EXPECT_EQ(resolved_message(t.path()), "");
  EXPECT_EQ(identity_now(t.path()), before);
}

}  // namespace
}  // namespace velk
