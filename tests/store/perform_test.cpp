// The target's identity, and the one write path in process that measures
// it: the record it writes, the order of its steps, and every refusal that
// must leave the target, the pool and the journal as they were.
#include "store/perform.h"

#include <sys/time.h>

#include "core/digest.h"
#include "product/facts.h"
#include "product/profile.h"
#include "store/identity.h"
#include "support/tree_helpers.h"
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

std::string identity_of(const std::string& target,
                        const std::vector<std::string>& surfaces = declaration().owned_paths()) {
  auto result = target_identity(dir_of(target), surfaces);
  EXPECT_TRUE(result.ok()) << result.error().full();
  return result.ok() ? *result : "";
}

void populate(const TempDir& t) {
  write_text(t / "AGENTS.md", "be brief\n");
  write_text(t / "skills/a/SKILL.md", "skill a\n");
  write_text(t / "plugins/known_marketplaces.json", "[]");
}

TEST(TargetIdentity, MeasuresEachOwnedSurfaceOnceAndNothingElse) {
  TempDir t;
  write_text(t / "auth.json", "{}");
  EXPECT_EQ(identity_of(t.path()), kEmptyDigest);  // no surface: the digest of no bytes
  populate(t);
  const std::string base = identity_of(t.path());
  write_text(t / ".velk-setup-system/backups/slot-000000000001/slot.json", "{}");
  write_text(t / "MIREL-VELK-PROVIDER.json", "{\"state_schema\":4}");
  EXPECT_EQ(identity_of(t.path()), base);
  // Inside a surface everything counts, even a file the never-touch list names.
  write_text(t / "plugins/known_marketplaces.json", "[1]");
  EXPECT_NE(identity_of(t.path()), base);

  const std::vector<TreeRecord> skills = {{"skills", "dir", ""},
                                          {"skills/a", "dir", ""},
                                          {"skills/a/SKILL.md", "file:-", digest_bytes("skill a\n")}};
  EXPECT_EQ(identity_of(t.path(), {"skills/a", "skills", "skills", "skills/a/SKILL.md"}),
            digest_records(skills));
  EXPECT_EQ(identity_of(t.path(), {"plugins/known_marketplaces.json", "auth.json"}), kEmptyDigest);
  make_link("skills", t / "hooks");  // recorded as a link, never followed
  EXPECT_EQ(identity_of(t.path(), {"hooks"}), digest_records({{"hooks", "link", "skills"}}));
}

TEST(TargetIdentity, OfAFileOnlyTheExecuteBitCounts) {
  TempDir t;
  populate(t);
  const std::string file = t / "skills/a/SKILL.md";
  const std::string base = identity_of(t.path());
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  const timeval times[2] = {{1000, 0}, {2000, 0}};
  ASSERT_EQ(::utimes(file.c_str(), times), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file.c_str(), 4242, 4242), 0);
  }
  EXPECT_EQ(identity_of(t.path()), base);
  for (const mode_t mode : {0601, 0610, 0700}) {  // any execute bit
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
    EXPECT_NE(identity_of(t.path()), base) << mode;
  }
}

TEST(OwnedLinks, AreNamedAtAnyDepthInByteOrderAndRefusedBeforeAnySlot) {
  TempDir t;
  populate(t);
  const auto links_of = [&] {
    return find_owned_links(dir_of(t.path()), declaration().owned_paths()).value();
  };
  EXPECT_TRUE(links_of().empty());

  make_dirs(t / "skills/x");
  make_link("../../AGENTS.md", t / "skills/x/ref");
  EXPECT_EQ(links_of(), std::vector<std::string>{"skills/x/ref"});
  make_dirs(t / "agents");
  make_link("/nowhere", t / "agents/b");
  make_link("/nowhere", t / "agents/a");
  make_link("/", t / "notes");  // not owned
  const std::string message =
      "a backup captures content, and these owned paths are links rather than content: "
      "agents/a, agents/b, skills/x/ref. Nothing has been changed. Replace them with what "
      "they point at, or move them out of the namespaces this provider owns.";
  EXPECT_EQ(owned_links_refusal(links_of()).message, message);
  expect_error(install_files(t.path(), "op-1", {{"AGENTS.md", "x\n"}}),
               ErrorKind::unsupported_native_surface, message);
  EXPECT_FALSE(exists(t / "MIREL-VELK-PROVIDER.json"));
  expect_no_trace(t);

  // A surface that is itself a link is named, and not looked into.
  ASSERT_EQ(::rename((t / "skills").c_str(), (t / "real").c_str()), 0);
  make_link("real", t / "skills");
  EXPECT_EQ(links_of(), (std::vector<std::string>{"agents/a", "agents/b", "skills"}));
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

// The identity is measured while the checks and the capture run: a target
// changed since the plan is refused as stale before anything is recorded, the
// old slots of a full pool all stay, and a refusing check yields to it.
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
