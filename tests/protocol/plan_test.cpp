// Planning: the argument rules, the plan check, refusals and end states.
#include "core/digest.h"
#include "plan_fixture.h"
#include "protocol/plan.h"
#include "store/journal.h"
#include "store/state.h"
#include "support/write_path.h"

namespace velk {
namespace {

using namespace velk::testing;

constexpr char kNowhere[] = "/nonexistent/velk-target";

// Each request breaks its rule and every later one it can, so the first in table order must be
// the one reported; no rule reads the (absent) target. Flags: b bundle, p prefix, v version,
// s strict profile, e expiry without milliseconds, j project scope.
TEST(PlanArguments, TheFirstBrokenRuleInTableOrderDecides) {
  const BundleClaim claim{"/nonexistent/b.zip", "ai-stp-bundle/2", "d", "a", 1};
  struct Case {
    Operation op;
    std::string flags;
    ReasonCode code;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {Operation::launch, "bvsej", ReasonCode::unsupported_operation,
       "launch reads no bundle, so one named for it would be echoed into the plan and never "
       "read; install, replace and remove are the operations that take one"},
      {Operation::backup, "pvsej", ReasonCode::unsupported_operation,
       "backup configures a target and installs no program, so --prefix /opt/velk means "
       "nothing to it"},
      {Operation::restore, "vsej", ReasonCode::unsupported_operation,
       "restore installs no program, so --software-version 1.2.3 means nothing to it"},
      {Operation::software_remove, "sej", ReasonCode::provider_unavailable,
       "software_remove installs a program, which lives under --prefix, not under --target; "
       "name an absolute --prefix"},
      {Operation::install, "sej", ReasonCode::unsupported_permission_profile,
       "strict is not a permission profile velk-setup-system declares; it offers default"},
      {Operation::install, "ej", ReasonCode::stale,
       "the expiry 2099-12-31T23:59:59Z is not the exact shape YYYY-MM-DDTHH:MM:SS.mmmZ, so no "
       "plan made from it could ever be applied"},
      {Operation::install, "j", ReasonCode::unsupported_operation,
       "--target-scope project names a target this provider publishes no projection profile "
       "for; it declares user_root"},
      {Operation::replace, "", ReasonCode::unsupported_bundle_format,
       "replace arrives as a bundle, and none was named"},
      {Operation::launch, "", ReasonCode::unsupported_operation,
       "launch is not declared by this provider"},
      {Operation::software_install, "pv", ReasonCode::unsupported_operation,
       "this build names velk 1.0.18 and 1.0.13; it cannot install 1.2.3, and installing one it "
       "does name instead would be answering a question nobody asked"},
  };
  for (const Case& c : cases) {
    auto r = plan_of(kNowhere, c.op);
    const auto has = [&](char flag) { return c.flags.find(flag) != std::string::npos; };
    if (has('b')) r.bundle = claim;
    if (has('p')) r.prefix = "/opt/velk";
    if (has('v')) r.software_version = "1.2.3";
    if (has('s')) r.permission_profile = "strict";
    if (has('e')) r.expires_at = "2099-12-31T23:59:59Z";
    if (has('j')) r.target_scope = TargetScope::project;
    expect_refused(plan_operation(r), c.code, c.detail);
  }
}

TEST(PlanCheck, RefusesEachMalformedPlan) {
  const auto base = [] {
    Plan f;
    f.operation = Operation::backup;
    f.effects = {"capture"};
    return plan_to_json(f);
  };
  EXPECT_TRUE(check_plan(base()).ok());
  const std::string none = "a plan must enumerate at least one non-empty effect";
  const std::string shape =
      "an end state names a path and is removed, or final_bytes with member, sha256 and "
      "byte_length";
  struct Case {
    std::function<void(Json&)> edit;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {[](Json& p) { p["effects"] = Json::array(); }, none},
      {[](Json& p) { p["restore_target_digest"] = "sha256:x"; },
       "a backup plan must not name a restored target digest"},
      {[](Json& p) { p["operation"] = "restore"; },
       "a restore plan must name the exact target it will produce"},
      {[](Json& p) { p["end_state"] = {{{"path", "a"}, {"end_state", "removed"}}}; },
       "a backup plan must not carry per-path end states; only remove does"},
      {[](Json& p) {
         p["operation"] = "remove";
         p["end_state"] = {{{"path", "a"}, {"end_state", "removed"}, {"member", "files/a"}}};
       },
       shape},
      {[](Json& p) {
         p["operation"] = "remove";
         p["end_state"] = {{{"path", "a"}, {"end_state", "final_bytes"}, {"member", "files/a"},
                            {"sha256", "sha256:x"}}};
       },
       shape},
  };
  for (const Case& c : cases) {
    Json plan = base();
    c.edit(plan);
    expect_refused(check_plan(plan), ReasonCode::provider_unavailable, c.detail);
  }
}

TEST(PlanTarget, RefusesAnotherScopeThanTheRecordAndUnresolvedWork) {
  Fixture m;
  ASSERT_TRUE(install_files(m.t.path(), "op-1", {{"AGENTS.md", "one\n"}}).ok());
  expect_refused(plan_operation(plan_of(m.t.path(), Operation::backup, TargetScope::user_root)),
                 ReasonCode::unsupported_operation,
                 m.t.path() +
                     " is managed under target_scope global, and this plan names user_root; a "
                     "plan under another scope would measure another inventory, so name the "
                     "scope the target is managed under");

  // Owned paths that are links: every change captures first, so planning
  // refuses what apply would, before any plan exists.
  ASSERT_EQ(::symlink("/", (m.t / "skills").c_str()), 0);
  expect_refused(plan_operation(plan_of(m.t.path(), Operation::backup)),
                 ReasonCode::unsupported_native_surface, owned_links_refusal({"skills"}).message);
  ASSERT_EQ(::unlink((m.t / "skills").c_str()), 0);

  const Journal prepared{1, "prepared", "op-2", "install", "sha256:p", "sha256:q",
                         "slot-000000000001", std::nullopt};
  ASSERT_TRUE(publish_journal(dir_of(m.t / ".velk-setup-system"), prepared).ok());
  expect_refused(plan_operation(plan_of(m.t.path(), Operation::backup)),
                 ReasonCode::recovery_required,
                 "operation op-2 is journaled as prepared; run recovery before planning");
}

TEST(PlanTarget, UserRootNeedsARecordOfWhatWasWritten) {
  Fixture m;
  write_text(m.t / "MIREL-VELK-PROVIDER.json", R"({"state_schema":3})");
  expect_refused(plan_operation(plan_of(m.t.path(), Operation::backup, TargetScope::user_root)),
                 ReasonCode::unsupported_operation,
                 managed_paths(dir_of(m.t.path()), TargetScope::user_root).error().message);

  TempDir fresh;
  expect_refused(
      plan_operation(plan_of(fresh.path(), Operation::remove, TargetScope::user_root)),
      ReasonCode::unsupported_operation,
      "remove under target_scope user_root is scoped to the files this provider recorded "
      "writing, and " + fresh.path() +
          " holds no readable record of them -- no state file, or one written before this build "
          "recorded them. Refused rather than widened to skills whole, which under this scope is "
          "a root several products read. Reinstall to establish a record, remove the components "
          "through the consumer, or point --target at this product's own configuration home.");
  EXPECT_FALSE(exists(fresh / ".velk-setup-system"));
}

TEST(PlanRemove, EndStatesFollowTheOwnedPathsAndTheBundleSurvivors) {
  Fixture m;
  ASSERT_TRUE(install_files(m.t.path(), "op-1",
                            {{"AGENTS.md", "mine\n"}, {"skills/old/SKILL.md", "old\n"}})
                  .ok());

  const Json bare = must_plan(plan_operation(plan_of(m.t.path(), Operation::remove)));
  const Json& plan = bare.at("plan");
  EXPECT_TRUE(plan.at("bundle").is_null());
  ASSERT_EQ(plan.at("end_state").size(), 12u);
  for (const Json& state : plan.at("end_state")) EXPECT_EQ(state.at("end_state"), "removed");
  EXPECT_EQ(plan.at("effects"),
            Json({"capture the current target before removing",
                  "these entries go whole, not file by file: AGENTS.md, config.toml, "
                  "sandbox.toml, skills, agents, plugins, hooks, workflows, rules, commands, "
                  "personas, roles",
                  "whatever else is in them goes too -- your own keys in a file it names, your "
                  "own files in a directory it names -- and the backup slot holds it",
                  "remove AGENTS.md", "remove skills"}));

  const auto parts = make_bundle({{"AGENTS.md", {"kept\n"}}, {"skills/keep/SKILL.md", {"k\n"}}});
  auto request = plan_of(m.t.path(), Operation::remove);
  request.bundle = write_bundle(m.side / "b.zip", parts);
  const Json with = must_plan(plan_operation(request));
  const Json& states = with.at("plan").at("end_state");
  ASSERT_EQ(states.size(), 13u);
  EXPECT_EQ(states[0], Json::parse(R"({"path":"AGENTS.md","end_state":"final_bytes",)"
                                   R"("member":"files/AGENTS.md","sha256":")" +
                                   digest_bytes("kept\n") + R"(","byte_length":5})"));
  EXPECT_EQ(states[3], Json::parse(R"({"path":"skills","end_state":"removed"})"));
  EXPECT_EQ(states[4].at("path"), "skills/keep/SKILL.md");
  EXPECT_EQ(states[4].at("end_state"), "final_bytes");
  EXPECT_EQ(with.at("plan").at("effects").back(),
            "leave 2 declared files behind at the bytes the bundle carries");
  EXPECT_EQ(with.at("plan").at("bundle").at("bundle_digest"), parts.bundle_digest());
}

TEST(PlanRestore, NamesTheSlotAndTheIdentityItRecorded) {
  Fixture m;
  ASSERT_TRUE(install_files(m.t.path(), "op-1", {{"AGENTS.md", "one\n"}}).ok());
  const std::string first = identity_now(m.t.path());
  ASSERT_TRUE(install_files(m.t.path(), "op-2", {{"AGENTS.md", "two\n"}}).ok());

  auto request = plan_of(m.t.path(), Operation::restore);
  request.backup_ref = "slot-000000000002";
  const Json plan = must_plan(plan_operation(request)).at("plan");
  EXPECT_EQ(plan.at("backup_ref"), "slot-000000000002");
  EXPECT_EQ(plan.at("restore_target_digest"), first);
  EXPECT_EQ(plan.at("effects"), Json({"capture the current target before restoring",
                                      "restore the target from slot-000000000002"}));

  request.backup_ref = "slot-000000000009";
  expect_refused(plan_operation(request), ReasonCode::digest_mismatch,
                 "slot-000000000009 is not a completed backup of this target");
  // A text that is not a reference is judged as one before any lookup.
  for (const std::string ref : {"latest", "slot-9", "SLOT-000000000001", "slot-0000000000001"}) {
    request.backup_ref = ref;
    expect_refused(plan_operation(request), ReasonCode::digest_mismatch,
                   ref + " is not a backup reference");
  }
  TempDir empty;
  expect_refused(plan_operation(plan_of(empty.path(), Operation::restore)),
                 ReasonCode::provider_unavailable, "this target has no backup to restore");
}

}  // namespace
}  // namespace velk
