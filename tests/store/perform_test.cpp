// The one write path in process: the record it writes, the order of its
// steps, and every refusal that must leave the target, the pool and the
// journal as they were.
#include "store/perform.h"

#include <gtest/gtest.h>

#include "product/facts.h"
#include "product/profile.h"
#include "store/identity.h"
#include "store/journal.h"
#include "store/tree_helpers.h"
#include "support/write_path.h"

namespace velk {
namespace {

using namespace velk::testing;

std::string control(const TempDir& t) { return t / ".velk-setup-system"; }
BackupPool pool_of(const TempDir& t) { return pool_at(control(t) + "/backups"); }

// A refused change: no slot beyond `slots`, no journal, and the lock free.
void expect_no_trace(const TempDir& t, size_t slots = 0) {
  auto names = list_slot_names(pool_of(t));
  EXPECT_EQ(names.ok() ? names->size() : 0, slots);
  EXPECT_FALSE(exists(control(t) + "/journal.json"));
  EXPECT_TRUE(lock_target(dir_of(control(t))).ok());
}

TEST(Perform, RecordsTheChangeInTheStateFile) {
  TempDir t;
  write_text(t / "AGENTS.md", "by hand\n");
  const std::string untouched = identity_now(t.path());
  const auto first = install_files(t.path(), "op-1", {{"skills/a/SKILL.md", "a\n"}});
  ASSERT_TRUE(first.ok()) << first.error().full();
  EXPECT_FALSE(exists(t / "AGENTS.md"));
  EXPECT_EQ(first->state.previous_verified_identity, std::nullopt);
  EXPECT_EQ(first->identity_before, untouched);

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

  ProviderState expected;
  expected.provider_id = "velk-setup-system";
  expected.provider_version = "0.0.63";
  expected.provider_build_digest = *provider_build_digest();
  expected.provider_release_digest = plan.provider_release_digest;
  expected.harness_id = "velk-build";
  expected.canonical_target = t.path();
  expected.target_identity_digest = identity_now(t.path());
  expected.setup_stable_id = "baseline";
  expected.projection_profile_digest = *profile_digest(declaration().main_profile);
  expected.provider_plan_digest = plan.plan_digest;
  expected.operation_id = "op-2";
  expected.target_precondition_digest = first->identity_after;
  expected.previous_verified_identity = first->identity_after;
  expected.native_ownership = declaration().owned_paths();
  expected.written_paths = {"AGENTS.md", "hooks/go.sh"};
  expected.backup_ref = "slot-000000000002";
  const auto read = read_state(dir_of(t.path()));
  ASSERT_TRUE(read.ok() && read->present());
  EXPECT_EQ(*encode_state(read->state), *encode_state(expected));
  EXPECT_EQ(second->state, read->state);

  // The slot holds what was there before, recorded with the setup it held.
  auto slots = list_slots(pool_of(t));
  ASSERT_TRUE(slots.ok() && slots->size() == 2u);
  EXPECT_EQ((*slots)[0].record.setup_id, "test-setup");
  EXPECT_EQ((*slots)[0].record.target_identity_digest, first->identity_after);
  EXPECT_EQ((*slots)[1].record.setup_id, std::nullopt);
  EXPECT_EQ(read_text(control(t) + "/target.lock"), "velk-setup-system install");
  expect_no_trace(t, 2);
}

// A check's refusal and a plan applied twice leave no trace either; those
// are checked end to end (ChangeCommands remove, ApplyOperation).
TEST(Perform, OwnedLinksAreRefusedBeforeAnySlot) {
  TempDir linked;
  write_text(linked / "notes.md", "n\n");
  make_dirs(linked / "skills/x");
  make_link("../../notes.md", linked / "skills/x/ref");
  make_link("notes.md", linked / "AGENTS.md");
  expect_error(install_files(linked.path(), "op-1", {{"AGENTS.md", "x\n"}}),
               ErrorKind::unsupported_native_surface,
               owned_links_refusal({"AGENTS.md", "skills/x/ref"}).message);
  EXPECT_FALSE(exists(linked / "MIREL-VELK-PROVIDER.json"));
  expect_no_trace(linked);
}

// The identity is measured while the checks and the capture run; a target
// that changed since the plan is still refused as stale before anything is
// recorded: its slot goes, the old slots of a full pool all stay, and a
// check that would refuse too yields to the stale verdict.
TEST(Perform, AStaleTargetFoundDuringTheCaptureKeepsThePoolAsItWas) {
  TempDir t;
  for (int i = 1; i <= 10; ++i)
    ASSERT_TRUE(install_files(t.path(), "op-" + std::to_string(i),
                              {{"AGENTS.md", std::to_string(i) + "\n"}})
                    .ok());
  const auto slots_before = list_slot_names(pool_of(t)).value();
  ASSERT_EQ(slots_before.size(), 10u);
  const PlanFacts plan = plan_now(t.path(), "op-11");
  write_text(t / "skills/late/SKILL.md", "written after the plan\n");

  PerformHooks hooks;
  hooks.effects = write_files_effect({{"AGENTS.md", "11\n"}});
  expect_error(perform(t.path(), plan, hooks), ErrorKind::stale,
               "the target changed after the lock was taken; no effect was made");
  EXPECT_EQ(list_slot_names(pool_of(t)).value(), slots_before);
  EXPECT_EQ(read_text(t / "AGENTS.md"), "10\n");
  expect_no_trace(t, 10);

  hooks.pre_checks = [](const PerformContext&) -> Status {
    return make_error(ErrorKind::unsupported_operation, "nothing is installed to remove");
  };
  expect_error(perform(t.path(), plan, hooks), ErrorKind::stale,
               "the target changed after the lock was taken; no effect was made");
  expect_no_trace(t, 10);
}

}  // namespace
}  // namespace velk
