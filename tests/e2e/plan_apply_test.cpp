// validate-bundle, plan-operation and apply-operation as a consumer drives them.
#include "consumer.h"
#include "core/clock.h"

namespace velk {
namespace {

using namespace velk::testing;

void expect_text_status_agrees(const std::string& target, const Json& json) {
  const RunResult text = run_velk({"status", "--target", target});
  ASSERT_EQ(text.exit_code, 0) << text.err;
  const std::string identity = json.at("target_identity_digest").get<std::string>();
  EXPECT_NE(text.out.find("Identity " + identity.substr(0, 19) + "\n"), std::string::npos)
      << text.out;
  EXPECT_EQ(text.out.find("Drift    none\n") != std::string::npos, json.contains("drift_state"))
      << text.out;
}

TEST(ValidateBundle, ValidOrRefusedTheAnswerFollowsTheClaim) {
  Consumer c;
  c.expect_validated(c.bundle({{"AGENTS.md", {"# Agents\n"}}, {"skills/a/SKILL.md", {"a\n"}}}),
                     R"("valid":true)");
  // Bound to user_root yet writing config.toml: validation asks for no scope.
  c.expect_validated(c.bundle({{"config.toml", {"a = 1\n"}}}, TargetScope::user_root),
                     R"("valid":true)");
  // A manifest followed by a NUL byte and anything at all is not JSON.
  BundleParts tailed = make_bundle({{"AGENTS.md", {"x\n"}}});
  tailed.manifest_text = tailed.manifest_bytes() + std::string("\0 anything at all", 17);
  c.expect_validated(write_bundle(c.next("b") + ".zip", tailed),
                     R"("rejected":true,"reason":"unsupported_bundle_format","detail":)"
                     R"("bundle.json does not parse: parse error at line 1, column 1347: syntax )"
                     R"(error while parsing value - invalid literal; last read: '2}]}<U+0000>'; )"
                     R"(expected end of input")");
}

TEST(PlanEnvelope, MembersComeInOrderAndWritesAreListedAtMostSixteen) {
  Consumer c;
  std::map<std::string, FileSpec> files;
  for (int i = 0; i < 40; ++i) files["skills/s" + std::to_string(100 + i) + "/SKILL.md"] = {"x\n"};
  const Json envelope = plan_request(c.t.path(), "install", bundle_flags(c.bundle(files)));
  EXPECT_EQ(keys_of(envelope),
            "state plan_digest effects expected_target_digest bundle_format bundle_digest "
            "artifact_digest bundle_size valid plan ");
  EXPECT_EQ(keys_of(envelope.at("plan")),
            "format protocol_version provider_id provider_version provider_build_digest "
            "provider_release_digest operation_id operation canonical_target "
            "expected_target_digest projection_profile_digest bundle backup_ref "
            "restore_target_digest permission_profile platform expires_at effects ");

  const Json& effects = envelope.at("effects");
  ASSERT_EQ(effects.size(), 4u + 16u);
  EXPECT_EQ(effects[3], "write the 40 declared files over the entries this provider owns");
  EXPECT_EQ(effects[4], "write skills/s100/SKILL.md");
  EXPECT_EQ(effects[19], "write skills/s115/SKILL.md");
  EXPECT_FALSE(exists(c.t / ".velk-setup-system"));  // planning writes nothing
}

TEST(ApplyOperation, APlanAppliesOnceAndOnlyBeforeItExpires) {
  Consumer c;
  // Declared files named like the staging copies of a write.
  const std::map<std::string, FileSpec> files = {
      {"skills/x/.SKILL.md.staging", {"declared first\n"}},
      {"skills/x/SKILL.md", {"declared second\n"}},
      {"skills/x/.velk-staging-0000000000000000", {"declared third\n"}},
  };
  const Words bundle = bundle_flags(c.bundle(files));
  const Json envelope = plan_request(c.t.path(), "install", bundle);
  const std::string digest = envelope.value("plan_digest", "");
  // The same content spaced otherwise is the same plan; it applies once.
  write_text(c.side / "pretty", envelope.at("plan").dump(2) + "\n");
  const Json applied = apply_request(c.t.path(), c.side / "pretty", digest, bundle);
  ASSERT_EQ(applied.value("state", ""), "verified") << applied.dump();
  for (const auto& [path, spec] : files) EXPECT_EQ(read_text(c.t / path), spec.bytes) << path;
  EXPECT_EQ(tree_entries(c.t / "skills/x"),
            (Words{"/.SKILL.md.staging", "/.velk-staging-0000000000000000", "/SKILL.md"}));
  EXPECT_EQ(refusal_of(apply_request(c.t.path(), c.side / "pretty", digest, bundle)),
            "stale: the target changed after the lock was taken; no effect was made");
  EXPECT_EQ(c.slots(), 1u);
  EXPECT_FALSE(exists(c.t / ".velk-setup-system/journal.json"));

  // A stored plan followed by a NUL byte and more is not JSON either.
  const Json second = plan_request(c.t.path(), "backup");
  const std::string tailed = store_plan(second, c.next("plan"));
  write_text(tailed, read_text(tailed) + std::string("\0{}", 3));
  EXPECT_EQ(refusal_of(apply_request(c.t.path(), tailed, second.value("plan_digest", ""))),
            "provider_unavailable: the approved plan is not JSON: parse error at line 1, column "
            "757: syntax error while parsing value - invalid literal; last read: "
            "'\"restore_target_digest\":null}<U+0000>'; expected end of input");
  EXPECT_EQ(c.slots(), 1u);

  const Json late =
      plan_request(c.t.path(), "backup", {}, format_utc_millis(now_utc_millis() - 1));
  ASSERT_EQ(late.value("state", ""), "planned");
  EXPECT_EQ(refusal_of(c.apply(late)),
            "stale: this plan expired before it was applied; no effect was made");
  EXPECT_EQ(c.slots(), 1u);
}

TEST(UserRootScope, InstallStatusAndRemoveTouchOnlyWhatWasRecorded) {
  Consumer c;
  write_text(c.t / "AGENTS.md", "another product's\n");
  write_text(c.t / "skills/theirs/SKILL.md", "theirs\n");
  make_dirs(c.t / "skills/empty-of-another");
  const BundleClaim claim =
      c.bundle({{"skills/ours/deep/SKILL.md", {"ours\n"}}}, TargetScope::user_root);
  Words flags = bundle_flags(claim);
  flags.insert(flags.end(), {"--target-scope", "user_root"});

  const Json envelope = plan_request(c.t.path(), "install", flags);
  EXPECT_EQ(envelope.at("plan").at("target_scope"), "user_root");
  EXPECT_EQ(envelope.at("effects")[1],
            "only the files this provider recorded writing under this scope go; anything else "
            "under the same root is left alone");
  const Json installed = c.apply(envelope, bundle_flags(claim));
  ASSERT_EQ(installed.value("state", ""), "verified") << installed.dump();

  // No scope named: the record decides. The identity covers skills whole,
  // as the backup does, so another product's edit there shows as drift.
  const Json status = provider_json({"status", "--target", c.t.path(), "--json"});
  EXPECT_EQ(status.value("drift_state", ""), "clean");
  EXPECT_EQ(status.at("target_identity_digest"), installed.at("target_identity_digest"));
  EXPECT_EQ(provider_json({"status", "--target", c.t.path(), "--json", "--target-scope",
                           "user_root"}),
            status);
  expect_text_status_agrees(c.t.path(), status);
  write_text(c.t / "skills/theirs/SKILL.md", "theirs, edited\n");
  const Json drifted = provider_json({"status", "--target", c.t.path(), "--json"});
  EXPECT_FALSE(drifted.contains("drift_state"));
  EXPECT_EQ(drifted.at("provider_state").value("drift_state", ""), "local_drift");
  expect_text_status_agrees(c.t.path(), drifted);

  const Json removal = plan_request(c.t.path(), "remove");
  EXPECT_EQ(removal.at("plan").at("target_scope"), "user_root");
  EXPECT_EQ(removal.at("plan").at("end_state"),
            Json::parse(R"([{"path":"skills/ours/deep/SKILL.md","end_state":"removed"}])"));
  const Json removed = c.apply(removal);
  ASSERT_EQ(removed.value("state", ""), "verified") << removed.dump();
  EXPECT_EQ(tree_entries(c.t / "skills"),
            (Words{"/empty-of-another", "/theirs", "/theirs/SKILL.md"}));
  EXPECT_EQ(read_text(c.t / "skills/theirs/SKILL.md"), "theirs, edited\n");
  EXPECT_EQ(read_text(c.t / "AGENTS.md"), "another product's\n");

  // Into a root that had no skills directory: it stays, empty.
  Consumer fresh;
  ASSERT_EQ(fresh.install_user_root({{"skills/a/SKILL.md", {"a\n"}}}).value("state", ""),
            "verified");
  ASSERT_EQ(fresh.run("remove", {"--target-scope", "user_root"}).value("state", ""), "verified");
  EXPECT_EQ(tree_entries(fresh.t / "skills"), Words{});
}

}  // namespace
}  // namespace velk
