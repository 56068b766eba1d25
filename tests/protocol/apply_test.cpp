// Apply in-process: its checks, its bundle, removals, modes and restores.
#include <signal.h>
#include <sys/wait.h>

#include "core/fs.h"
#include "plan_fixture.h"
#include "protocol/apply_operation.h"
#include "protocol/plan.h"
#include "store/pool.h"
#include "store/recover.h"
#include "support/write_path.h"

namespace velk {
namespace {

using namespace velk::testing;

struct Planned {
  Json plan;
  std::string digest;
};

Planned planned(const PlanOperationRequest& request) {
  const Json envelope = must_plan(plan_operation(request));
  return {envelope.at("plan"), envelope.at("plan_digest").get<std::string>()};
}

// The plan edited and re-digested, as a consumer that forges one would.
Planned forged(Planned p, const std::function<void(Json&)>& edit) {
  edit(p.plan);
  p.digest = plan_digest(p.plan).value();
  return p;
}

// What apply-operation does with a stored plan, without the file.
Result<ApplyOutcome> apply_to(const std::string& target, const Planned& p,
                              std::optional<BundleClaim> bundle = std::nullopt,
                              ApplyInputs inputs = {}) {
  inputs.bundle = std::move(bundle);
  VELK_ASSIGN(const Plan plan, approved_plan(p.plan, p.digest));
  VELK_ASSIGN(const Target checked, validate_target(target));
  return apply_plan(checked, plan, p.digest, inputs);
}

// Applies the plan in a child killed by SIGKILL once the effects are made,
// before the state file is written: what recovery must undo.
void kill_after_effects(const std::string& target_path, const Planned& p,
                        std::optional<BundleClaim> bundle = std::nullopt) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ApplyInputs inputs;
    inputs.observer = [](PerformStep step) {
      if (step == PerformStep::effects_made) ::raise(SIGKILL);
    };
    (void)apply_to(target_path, p, std::move(bundle), inputs);
    ::_exit(3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

size_t slots_of(const std::string& target) {
  return list_slots(locate_target_store(target)->pool)->size();
}

TEST(Apply, RefusesAPlanThatIsNotTheApprovedOneOrNotForThisTarget) {
  Fixture f;
  const Planned p = planned(plan_of(f.t.path(), Operation::backup));
  expect_refused(apply_to(f.t.path(), forged(p, [](Json& j) { j.erase("operation"); })),
                 ReasonCode::unsupported_operation, "the plan artifact has no operation");
  expect_refused(apply_to(f.t.path(), forged(p, [](Json& j) { j["operation"] = "upgrade"; })),
                 ReasonCode::unsupported_operation,
                 "upgrade is not an operation this protocol defines");
  expect_refused(apply_to(f.t.path(), forged(p, [](Json& j) { j["expires_at"] = 5; })),
                 ReasonCode::stale,
                 "the plan's expiry 5 is not the exact shape YYYY-MM-DDTHH:MM:SS.mmmZ, so no "
                 "authorization could be read from it; no effect was made");
  expect_refused(apply_to(f.t.path(), forged(p, [](Json& j) { j["target_scope"] = "project"; })),
                 ReasonCode::unsupported_operation,
                 "--target-scope project names a target this provider publishes no projection "
                 "profile for");
  ApplyInputs with_prefix;
  with_prefix.prefix = "/opt/velk";
  expect_refused(apply_to(f.t.path(), p, std::nullopt, with_prefix),
                 ReasonCode::unsupported_operation,
                 "backup configures a target and installs no program, so --prefix /opt/velk "
                 "means nothing to it");

  // Two empty directories measure the same; the plan still names one.
  TempDir other;
  expect_refused(apply_to(other.path(), p), ReasonCode::stale,
                 "the approved plan was made for " + f.t.path() + ", not " + other.path() +
                     "; no effect was made");
  EXPECT_FALSE(exists(other / ".velk-setup-system"));
  EXPECT_FALSE(exists(f.t / ".velk-setup-system"));
}

TEST(Apply, InstallReadsOnlyTheBundleThePlanNamesAndWritesDeclaredModes) {
  Fixture f;
  auto parts = make_bundle({{"hooks/run.sh", {"#!/bin/sh\n", 0755}}, {"AGENTS.md", {"a\n"}}});
  // Archive attributes asking for set-user-id and more: only declared modes reach disk.
  parts.file_entries[0].external_attributes = 0100777u << 16;
  parts.file_entries[1].external_attributes = 0104755u << 16;
  auto request = plan_of(f.t.path(), Operation::install);
  request.bundle = write_bundle(f.side / "a.zip", parts);
  const Planned p = planned(request);

  expect_refused(apply_to(f.t.path(), p), ReasonCode::unsupported_bundle_format,
                 "install arrives as a bundle, and none was named");
  const BundleClaim other = write_bundle(f.side / "b.zip", make_bundle({{"AGENTS.md", {"b\n"}}}));
  expect_refused(apply_to(f.t.path(), p, other), ReasonCode::digest_mismatch,
                 "the bundle named at apply is not the one the plan was made with; no effect "
                 "was made");
  EXPECT_FALSE(exists(f.t / ".velk-setup-system"));

  const auto done = apply_to(f.t.path(), p, request.bundle);
  ASSERT_TRUE(done.ok()) << done.error().message;
  EXPECT_EQ(done->setup_id, "test-setup");
  EXPECT_EQ(lstat_path(f.t / "AGENTS.md")->st_mode & 07777, 0644u);
  EXPECT_EQ(lstat_path(f.t / "hooks/run.sh")->st_mode & 07777, 0755u);
  const auto state = read_state(dir_of(f.t.path()));
  ASSERT_TRUE(state.ok() && state->present());
  EXPECT_EQ(state->state.written_paths, (std::vector<std::string>{"AGENTS.md", "hooks/run.sh"}));
  EXPECT_EQ(state->state.component_refs,
            (std::vector<std::string>{"component.AGENTS.md", "component.hooks"}));
  EXPECT_EQ(state->state.bundle_digest, parts.bundle_digest());
  EXPECT_EQ(state->state.setup_version, "1.0.0");
  EXPECT_EQ(state->state.provider_release_digest, "release-1");
}

TEST(Apply, ARemovalLeavesExactlyThePlannedBytes) {
  Fixture f;
  ASSERT_TRUE(install_files(f.t.path(), "op-1", {{"AGENTS.md", "x\n"}, {"rules/r.md", "r\n"}}).ok());
  const auto parts = make_bundle({{"AGENTS.md", {"kept\n"}}});
  auto request = plan_of(f.t.path(), Operation::remove);
  request.bundle = write_bundle(f.side / "keep.zip", parts);
  const Planned p = planned(request);

  expect_refused(apply_to(f.t.path(), p), ReasonCode::unsupported_bundle_format,
                 "this remove was planned with surviving bytes, and no bundle was named to carry "
                 "them");
  // A forged plan may not move the bundle's bytes onto another path.
  const Planned moved = forged(p, [](Json& j) { j["end_state"][0]["path"] = "auth.json"; });
  expect_refused(apply_to(f.t.path(), moved, request.bundle), ReasonCode::digest_mismatch,
                 "the plan leaves \"auth.json\" at bytes the bundle named for apply does not "
                 "carry; no effect was made");
  const Planned twice = forged(p, [](Json& j) {
    j["end_state"].push_back(j["end_state"][0]);
  });
  expect_refused(apply_to(f.t.path(), twice, request.bundle), ReasonCode::digest_mismatch,
                 "the plan leaves 2 files behind and the bundle carries 1; no effect was made");
  EXPECT_EQ(slots_of(f.t.path()), 1u);

  ASSERT_TRUE(apply_to(f.t.path(), p, request.bundle).ok());
  EXPECT_EQ(read_text(f.t / "AGENTS.md"), "kept\n");
  EXPECT_FALSE(exists(f.t / "rules"));
  EXPECT_FALSE(read_state(dir_of(f.t.path()))->state.setup_stable_id);

  const Planned bare = planned(plan_of(f.t.path(), Operation::remove));
  expect_refused(apply_to(f.t.path(), bare, request.bundle), ReasonCode::unsupported_operation,
                 "this remove plan leaves no bytes behind, so a bundle named at apply was never "
                 "authorized; plan the removal with the bundle");
}

TEST(Apply, RestoringTheOldestSlotOfAFullPoolKeepsItUntilItIsReadAndChecksWhatItHolds) {
  Fixture f;
  write_text(f.t / "AGENTS.md", "by hand\n");
  const std::string oldest = identity_now(f.t.path());
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(install_files(f.t.path(), "op-" + std::to_string(i),
                              {{"AGENTS.md", "v" + std::to_string(i) + "\n"}})
                    .ok());
  }
  ASSERT_EQ(slots_of(f.t.path()), 10u);
  auto request = plan_of(f.t.path(), Operation::restore);
  request.backup_ref = "slot-000000000001";
  const Planned p = planned(request);
  EXPECT_EQ(p.plan.at("restore_target_digest"), oldest);

  // A slot that no longer holds the planned target is refused before any
  // capture, which would rotate slot 1 out before the restore could read it.
  const Planned other = forged(p, [](Json& j) {
    j["restore_target_digest"] = "sha256:" + std::string(64, 'e');
  });
  expect_refused(apply_to(f.t.path(), other), ReasonCode::stale,
                 "backup slot-000000000001 no longer holds the target this plan restores; no "
                 "effect was made");

  const auto done = apply_to(f.t.path(), p);
  ASSERT_TRUE(done.ok()) << done.error().message;
  EXPECT_EQ(done->target_identity_digest, oldest);
  EXPECT_EQ(identity_now(f.t.path()), oldest);
}

// Found by the crash campaign: a user_root restore killed after writing files the previous
// record did not name, staging copies beside them; recovery must restore the shared root exactly.
TEST(Apply, AnInterruptedUserRootRestoreIsTakenBackWholeByRecovery) {
  Fixture f;
  write_text(f.t / "skills/other-product/SKILL.md", "another product\n");
  const auto install = [&](const std::map<std::string, FileSpec>& files, const char* name) {
    auto request = plan_of(f.t.path(), Operation::install, TargetScope::user_root);
    request.bundle = write_bundle(f.side / name, make_bundle(files, TargetScope::user_root));
    ASSERT_TRUE(apply_to(f.t.path(), planned(request), request.bundle).ok());
  };
  std::map<std::string, FileSpec> a;
  for (int i = 0; i < 20; ++i) a["skills/a/ref-" + std::to_string(i) + ".md"] = {"a\n"};
  install(a, "a.zip");                                    // slot 1: before a
  install({{"skills/b/SKILL.md", {"b\n"}}}, "b.zip");     // slot 2 holds a
  const std::string before = identity_now(f.t.path(), TargetScope::user_root);

  auto request = plan_of(f.t.path(), Operation::restore, TargetScope::user_root);
  request.backup_ref = "slot-000000000002";
  const Planned p = planned(request);
  // Killed with a's files written back and b's not yet removed.
  kill_after_effects(f.t.path(), p);
  ASSERT_TRUE(exists(f.t / "skills/a/ref-7.md"));
  // And the staging copies of a file and of the record, killed mid-write.
  write_text(f.t / "skills/a/.velk-staging-0123456789abcdef", "half\n");
  write_text(f.t / ".MIREL-VELK-PROVIDER.json.staging", "{\"half\n");

  auto recovered = recover(f.t.path());
  ASSERT_TRUE(recovered.ok()) << recovered.error().full();
  EXPECT_EQ(identity_now(f.t.path(), TargetScope::user_root), before);
  EXPECT_FALSE(exists(f.t / "skills/a"));
  EXPECT_FALSE(exists(f.t / ".MIREL-VELK-PROVIDER.json.staging"));
  EXPECT_EQ(read_text(f.t / "skills/b/SKILL.md"), "b\n");
  EXPECT_EQ(read_text(f.t / "skills/other-product/SKILL.md"), "another product\n");
}

// Found by the crash campaign on a disk: a top-level file or the record killed
// in its flush leaves a staging copy at the top, outside every surface.
TEST(Apply, RecoveryTakesAwayTheStagingCopiesAKilledWriteLeftAtTheTop) {
  Fixture f;
  write_text(f.t / "notes.txt", "mine\n");
  // A file of the user's that only looks like a staging copy stays.
  write_text(f.t / ".velk-staging-0123", "mine too\n");
  const std::string before = identity_now(f.t.path());
  auto request = plan_of(f.t.path(), Operation::install);
  request.bundle = write_bundle(f.side / "a.zip",
                                make_bundle({{"AGENTS.md", {"a\n"}}, {"skills/a/SKILL.md", {"a\n"}}}));
  const Planned p = planned(request);
  kill_after_effects(f.t.path(), p, request.bundle);
  write_text(f.t / ".velk-staging-0123456789abcdef", "half of AGENTS.md\n");
  write_text(f.t / ".MIREL-VELK-PROVIDER.json.staging", "{\"half\n");

  auto recovered = recover(f.t.path());
  ASSERT_TRUE(recovered.ok()) << recovered.error().full();
  EXPECT_EQ(identity_now(f.t.path()), before);
  EXPECT_FALSE(exists(f.t / ".velk-staging-0123456789abcdef"));
  EXPECT_FALSE(exists(f.t / ".MIREL-VELK-PROVIDER.json.staging"));
  EXPECT_FALSE(exists(f.t / "AGENTS.md"));
  EXPECT_EQ(read_text(f.t / "notes.txt"), "mine\n");
  EXPECT_EQ(read_text(f.t / ".velk-staging-0123"), "mine too\n");
}

}  // namespace
}  // namespace velk
