// The one write path in process: the record it writes, the order of its
// steps, and every refusal that must leave the target, the pool and the
// journal as they were.
#include "store/perform.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "product/facts.h"
#include "product/profile.h"
#include "store/identity.h"
#include "store/journal.h"
#include "store/pool.h"
#include "support/temp_dir.h"
#include "support/write_path.h"

namespace velk {
namespace {

using namespace velk::testing;

std::string control(const TempDir& t) { return t / ".velk-setup-system"; }
BackupPool pool_of(const TempDir& t) { return BackupPool{control(t) + "/backups", 10}; }

size_t slot_count(const TempDir& t) {
  auto dirs = list_slot_dirs(pool_of(t));
  return dirs.ok() ? dirs->size() : 0;
}

// True when this process can take the target's lock now (and releases it).
bool lock_is_free(const TempDir& t) { return lock_target(control(t)).ok(); }

TEST(Perform, RecordsTheChangeInTheStateFile) {
  TempDir t;
  write_text(t / "AGENTS.md", "by hand\n");
  const std::string untouched = identity_now(t.path());
  const auto first = install_files(t.path(), "op-1", {{"skills/a/SKILL.md", "a\n"}});
  ASSERT_TRUE(first.ok()) << first.error().full();
  EXPECT_FALSE(exists(t / "AGENTS.md"));

  const PlanFacts plan = plan_now(t.path(), "op-2");
  PerformHooks hooks;
  hooks.effects = write_files_effect({{"AGENTS.md", "two\n"}, {"hooks/go.sh", "go\n"}}, "baseline");
  std::vector<PerformStep> seen;
  hooks.observer = [&](PerformStep step) { seen.push_back(step); };
  const auto second = perform(t.path(), plan, hooks);
  ASSERT_TRUE(second.ok()) << second.error().full();
  EXPECT_EQ(seen, (std::vector<PerformStep>{
                      PerformStep::locked, PerformStep::verified, PerformStep::captured,
                      PerformStep::journal_published, PerformStep::effects_made,
                      PerformStep::identity_measured, PerformStep::state_written,
                      PerformStep::journal_committed, PerformStep::journal_cleared}));

  auto read = read_state(t.path());
  ASSERT_TRUE(read.ok());
  ASSERT_TRUE(read->present());
  const ProviderState& s = read->state;
  EXPECT_EQ(s, second->state);
  EXPECT_EQ(s.provider_id, "velk-setup-system");
  EXPECT_EQ(s.provider_version, "0.0.63");
  EXPECT_EQ(s.harness_id, "velk-build");
  EXPECT_EQ(s.provider_build_digest, *provider_build_digest());
  EXPECT_EQ(s.projection_profile_digest, *profile_digest(declaration().main_profile));
  EXPECT_EQ(s.provider_release_digest, plan.provider_release_digest);
  EXPECT_EQ(s.provider_plan_digest, plan.plan_digest);
  EXPECT_EQ(s.operation_id, "op-2");
  EXPECT_EQ(s.canonical_target, t.path());
  EXPECT_EQ(s.target_precondition_digest, first->identity_after);
  EXPECT_EQ(s.target_identity_digest, identity_now(t.path()));
  EXPECT_EQ(s.previous_verified_identity, first->identity_after);
  EXPECT_EQ(s.backup_ref, "slot-000000000002");
  EXPECT_EQ(s.native_ownership, declaration().owned_paths());
  EXPECT_EQ(s.written_paths, (std::vector<std::string>{"AGENTS.md", "hooks/go.sh"}));
  EXPECT_EQ(s.setup_stable_id, "baseline");
  EXPECT_EQ(s.drift_state, DriftState::clean);
  EXPECT_EQ(first->state.previous_verified_identity, std::nullopt);
  EXPECT_EQ(first->identity_before, untouched);

  // The slot holds what was there before, recorded with the setup it held.
  auto slots = list_slots(pool_of(t));
  ASSERT_TRUE(slots.ok());
  ASSERT_EQ(slots->size(), 2u);
  EXPECT_EQ((*slots)[0].record.operation_id, "op-2");
  EXPECT_EQ((*slots)[0].record.setup_id, "test-setup");
  EXPECT_EQ((*slots)[0].record.target_identity_digest, first->identity_after);
  EXPECT_EQ(read_text((*slots)[0].dir + "/payload/skills/a/SKILL.md"), "a\n");
  EXPECT_EQ((*slots)[1].record.setup_id, std::nullopt);
  EXPECT_EQ(read_text((*slots)[1].dir + "/payload/AGENTS.md"), "by hand\n");
  EXPECT_FALSE(exists(control(t) + "/journal.json"));
  EXPECT_EQ(read_text(control(t) + "/target.lock"), "velk-setup-system install");
  EXPECT_TRUE(lock_is_free(t));
}

TEST(Perform, UnderUserRootRecordsAndMeasuresOnlyWhatItWrote) {
  TempDir t;
  write_text(t / "skills/theirs/SKILL.md", "another product\n");
  const auto done =
      install_files(t.path(), "op-1", {{"skills/mine/SKILL.md", "mine\n"}}, TargetScope::user_root);
  ASSERT_TRUE(done.ok()) << done.error().full();
  EXPECT_EQ(done->state.native_ownership, std::vector<std::string>{"skills"});
  EXPECT_EQ(done->state.projection_profile_digest,
            *profile_digest(declaration().user_root_profile));
  EXPECT_EQ(done->identity_after, identity_now(t.path(), TargetScope::user_root));
  EXPECT_EQ(read_text(t / "skills/theirs/SKILL.md"), "another product\n");
  // What another product changes beside it is none of this record's business.
  write_text(t / "skills/theirs/SKILL.md", "changed\n");
  EXPECT_EQ(done->identity_after, identity_now(t.path(), TargetScope::user_root));
}

TEST(Perform, APlanAppliedTwiceIsStaleAndLeavesNoTrace) {
  TempDir t;
  const PlanFacts plan = plan_now(t.path(), "op-1");
  PerformHooks hooks;
  hooks.effects = write_files_effect({{"AGENTS.md", "x\n"}});
  ASSERT_TRUE(perform(t.path(), plan, hooks).ok());
  const std::string state = read_text(t / "MIREL-VELK-PROVIDER.json");

  const auto again = perform(t.path(), plan, hooks);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().kind, ErrorKind::stale);
  EXPECT_EQ(again.error().message, "the target changed after the lock was taken; no effect was made");
  EXPECT_EQ(slot_count(t), 1u);
  EXPECT_FALSE(exists(control(t) + "/journal.json"));
  EXPECT_EQ(read_text(t / "MIREL-VELK-PROVIDER.json"), state);
  EXPECT_TRUE(lock_is_free(t));
}

TEST(Perform, LinksInsideAnOwnedSurfaceAreRefusedBeforeAnySlot) {
  TempDir t;
  write_text(t / "notes.md", "n\n");
  make_dirs(t / "skills/x");
  ASSERT_EQ(::symlink("../../notes.md", (t / "skills/x/ref").c_str()), 0);
  ASSERT_EQ(::symlink("notes.md", (t / "AGENTS.md").c_str()), 0);
  const auto r = install_files(t.path(), "op-1", {{"AGENTS.md", "x\n"}});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::unsupported_native_surface);
  EXPECT_EQ(r.error().message, owned_links_refusal({"AGENTS.md", "skills/x/ref"}).message);
  EXPECT_EQ(slot_count(t), 0u);
  EXPECT_FALSE(exists(control(t) + "/journal.json"));
  EXPECT_FALSE(exists(t / "MIREL-VELK-PROVIDER.json"));
  EXPECT_TRUE(lock_is_free(t));
}

TEST(Perform, ItsOwnPreChecksRefuseBeforeCapturing) {
  TempDir t;
  PerformHooks hooks;
  hooks.effects = write_files_effect({{"AGENTS.md", "x\n"}});
  hooks.pre_checks = [](const PerformContext& c) -> Status {
    if (!c.state_before.present())
      return make_error(ErrorKind::unsupported_operation, "nothing is installed to remove");
    return {};
  };
  const auto refused = perform(t.path(), plan_now(t.path(), "op-1"), hooks);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message, "nothing is installed to remove");
  EXPECT_EQ(slot_count(t), 0u);
  EXPECT_FALSE(exists(t / "AGENTS.md"));
  EXPECT_TRUE(lock_is_free(t));
}

TEST(Perform, AFailedEffectLeavesThePreparedJournalAndReleasesTheLock) {
  TempDir t;
  PerformHooks hooks;
  hooks.effects = [](const PerformContext& c) -> Result<EffectsOutcome> {
    EXPECT_EQ(c.backup_ref, "slot-000000000001");
    return make_error(ErrorKind::state_unavailable, "cannot write AGENTS.md");
  };
  const auto r = perform(t.path(), plan_now(t.path(), "op-9"), hooks);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "cannot write AGENTS.md");
  auto journal = read_journal(control(t));
  ASSERT_TRUE(journal.ok());
  ASSERT_TRUE(journal->has_value());
  EXPECT_EQ((*journal)->phase, "prepared");
  EXPECT_EQ((*journal)->operation_id, "op-9");
  EXPECT_EQ((*journal)->backup_ref, "slot-000000000001");
  EXPECT_TRUE(lock_is_free(t));

  // The next change is refused until recovery.
  const auto next = install_files(t.path(), "op-10", {{"AGENTS.md", "x\n"}});
  ASSERT_FALSE(next.ok());
  EXPECT_EQ(next.error().message,
            "operation op-9 is journaled as prepared; run recovery before planning");
}

}  // namespace
}  // namespace velk
