// plan-operation and apply-operation through the binary, driven as a
// consumer drives them: JSON documents in, canonical plan files out.
#include <gtest/gtest.h>

#include "consumer.h"
#include "core/clock.h"
#include "core/digest.h"
#include "store/pool.h"
#include "support/bundle_writer.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using namespace velk::testing;

std::string keys_of(const Json& object) {
  std::string keys;
  for (const auto& [key, value] : object.items()) keys += key + " ";
  return keys;
}

struct Consumer {
  TempDir t;     // the target
  TempDir side;  // bundles and stored plans
  int files = 0;

  std::string next(const std::string& stem) { return side / (stem + std::to_string(++files)); }
  BundleClaim bundle(const std::map<std::string, FileSpec>& files,
                     std::optional<TargetScope> scope = std::nullopt) {
    return write_bundle(next("b") + ".zip", make_bundle(files, scope));
  }
  Json run(const std::string& operation, const Words& plan_flags = {},
           const Words& apply_flags = {}) {
    return plan_and_apply(t.path(), operation, plan_flags, apply_flags, next("plan"));
  }
  Json install(const BundleClaim& claim, const std::string& operation = "install") {
    return run(operation, bundle_flags(claim), bundle_flags(claim));
  }
  size_t slots() const {
    const auto listed = list_slots(BackupPool{t / ".velk-setup-system/backups", 10});
    return listed.ok() ? listed->size() : 0;
  }
};

TEST(ConsumerRoundTrip, ValidateInstallStatusThenRestoreReturnsToTheIdentityBeforeIt) {
  Consumer c;
  write_text(c.t / "AGENTS.md", "hand-written\n");
  const std::string before = status_identity(c.t.path());
  const BundleClaim claim =
      c.bundle({{"AGENTS.md", {"# team\n"}}, {"skills/lint/SKILL.md", {"lint\n"}}});
  Words validate = {"validate-bundle", "--target", c.t.path(), "--json"};
  for (const std::string& flag : bundle_flags(claim)) validate.push_back(flag);
  EXPECT_EQ(provider_json(validate).value("valid", false), true);

  const Json installed = c.install(claim);
  ASSERT_EQ(installed.value("state", ""), "verified") << installed.dump();
  EXPECT_EQ(installed.at("setup_id"), "test-setup");
  EXPECT_EQ(installed.at("expected_target_digest"), before);
  const Json status = provider_json({"status", "--target", c.t.path(), "--json"});
  EXPECT_EQ(status.value("drift_state", ""), "clean");
  EXPECT_EQ(status.at("target_identity_digest"), installed.at("target_identity_digest"));
  EXPECT_EQ(read_text(c.t / "AGENTS.md"), "# team\n");

  const Json envelope = plan_request(c.t.path(), "restore");
  EXPECT_EQ(envelope.at("plan").at("backup_ref"), installed.at("backup_ref"));
  EXPECT_EQ(envelope.at("plan").at("restore_target_digest"), before);
  const Json restored = apply_request(c.t.path(), store_plan(envelope, c.side / "restore"),
                                      envelope.at("plan_digest").get<std::string>());
  ASSERT_EQ(restored.value("state", ""), "verified") << restored.dump();
  EXPECT_EQ(restored.at("target_identity_digest"), before);
  EXPECT_EQ(status_identity(c.t.path()), before);
  EXPECT_EQ(read_text(c.t / "AGENTS.md"), "hand-written\n");
}

TEST(PlanEnvelope, DigestIsTheCanonicalPlansAndWritesAreListedAtMostSixteen) {
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
  const std::string canonical = canonical_json(envelope.at("plan")).value();
  EXPECT_EQ(envelope.at("plan_digest"),
            digest_document(kPlanTag, parse_json(canonical).value()).value());

  const Json& effects = envelope.at("effects");
  ASSERT_EQ(effects.size(), 4u + 16u);
  EXPECT_EQ(effects[3], "write 40 declared files over the entries this provider owns");
  EXPECT_EQ(effects[4], "write skills/s100/SKILL.md");
  EXPECT_EQ(effects[19], "write skills/s115/SKILL.md");
  EXPECT_FALSE(exists(c.t / ".velk-setup-system"));  // planning writes nothing
}

TEST(ApplyOperation, APlanAppliesOnceAndOnlyAsApproved) {
  Consumer c;
  const BundleClaim claim = c.bundle({{"AGENTS.md", {"one\n"}}});
  const Json envelope = plan_request(c.t.path(), "install", bundle_flags(claim));
  const std::string digest = envelope.at("plan_digest").get<std::string>();

  Json changed = envelope;
  changed["plan"]["operation_id"] = "op-other";
  EXPECT_EQ(refusal_of(apply_request(c.t.path(), store_plan(changed, c.side / "changed"), digest,
                                     bundle_flags(claim))),
            "digest_mismatch: the approved plan artifact has another digest; no effect was made");
  EXPECT_FALSE(exists(c.t / ".velk-setup-system"));

  // The same content spaced otherwise is the same plan; it applies once.
  write_text(c.side / "pretty", envelope.at("plan").dump(2) + "\n");
  const Json applied = apply_request(c.t.path(), c.side / "pretty", digest, bundle_flags(claim));
  ASSERT_EQ(applied.value("state", ""), "verified") << applied.dump();
  EXPECT_EQ(refusal_of(apply_request(c.t.path(), c.side / "pretty", digest, bundle_flags(claim))),
            "stale: the target changed after the lock was taken; no effect was made");
  EXPECT_EQ(c.slots(), 1u);
  EXPECT_FALSE(exists(c.t / ".velk-setup-system/journal.json"));

  const Json late =
      plan_request(c.t.path(), "backup", {}, format_utc_millis(now_utc_millis() - 1));
  ASSERT_EQ(late.value("state", ""), "planned");
  EXPECT_EQ(refusal_of(apply_request(c.t.path(), store_plan(late, c.side / "late"),
                                     late.at("plan_digest").get<std::string>())),
            "stale: this plan expired before it was applied; no effect was made");
  EXPECT_EQ(c.slots(), 1u);
}

TEST(UserRootScope, InstallStatusAndRemoveTouchOnlyWhatWasRecorded) {
  Consumer c;
  write_text(c.t / "AGENTS.md", "another product's\n");
  write_text(c.t / "skills/theirs/SKILL.md", "theirs\n");
  const BundleClaim claim = c.bundle({{"skills/ours/SKILL.md", {"ours\n"}}}, TargetScope::user_root);
  Words flags = bundle_flags(claim);
  flags.insert(flags.end(), {"--target-scope", "user_root"});

  const Json envelope = plan_request(c.t.path(), "install", flags);
  EXPECT_EQ(envelope.at("plan").at("target_scope"), "user_root");
  EXPECT_EQ(envelope.at("effects")[1],
            "only the files this provider recorded writing under this scope go; anything else "
            "under the same root is left alone");
  const Json installed = apply_request(c.t.path(), store_plan(envelope, c.side / "install"),
                                       envelope.at("plan_digest").get<std::string>(),
                                       bundle_flags(claim));
  ASSERT_EQ(installed.value("state", ""), "verified") << installed.dump();

  // No scope named: the record decides, and others' files are not measured.
  write_text(c.t / "skills/theirs/SKILL.md", "theirs, edited\n");
  const Json status = provider_json({"status", "--target", c.t.path(), "--json"});
  EXPECT_EQ(status.value("drift_state", ""), "clean");
  EXPECT_EQ(status.at("target_identity_digest"), installed.at("target_identity_digest"));
  EXPECT_EQ(provider_json({"status", "--target", c.t.path(), "--json", "--target-scope",
                           "user_root"}),
            status);

  const Json removal = plan_request(c.t.path(), "remove");
  EXPECT_EQ(removal.at("plan").at("target_scope"), "user_root");
  EXPECT_EQ(removal.at("plan").at("end_state"),
            Json::parse(R"([{"path":"skills/ours/SKILL.md","end_state":"removed"}])"));
  const Json removed = apply_request(c.t.path(), store_plan(removal, c.side / "remove"),
                                     removal.at("plan_digest").get<std::string>());
  ASSERT_EQ(removed.value("state", ""), "verified") << removed.dump();
  EXPECT_FALSE(exists(c.t / "skills/ours/SKILL.md"));
  EXPECT_EQ(read_text(c.t / "skills/theirs/SKILL.md"), "theirs, edited\n");
  EXPECT_EQ(read_text(c.t / "AGENTS.md"), "another product's\n");
}

TEST(NeverTouch, KnownMarketplacesSurvivesEveryChange) {
  Consumer c;
  const std::string kept = c.t / "plugins/known_marketplaces.json";
  write_text(kept, "{\"mine\":true}\n");
  const auto step = [&](const Json& answer, const char* present, const char* absent) {
    ASSERT_EQ(answer.value("state", ""), "verified") << answer.dump();
    EXPECT_EQ(read_text(kept), "{\"mine\":true}\n");
    EXPECT_TRUE(!*present || exists(c.t / present)) << present;
    EXPECT_TRUE(!*absent || !exists(c.t / absent)) << absent;
  };
  step(c.install(c.bundle({{"plugins/a/plugin.json", {"{}\n"}}})), "plugins/a/plugin.json", "");
  step(c.install(c.bundle({{"plugins/b/plugin.json", {"{}\n"}}}), "replace"), "plugins/b",
       "plugins/a");
  step(c.run("restore"), "plugins/a/plugin.json", "plugins/b");
  step(c.run("remove"), "", "plugins/a");
}

}  // namespace
}  // namespace velk
