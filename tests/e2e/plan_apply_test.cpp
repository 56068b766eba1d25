// plan-operation and apply-operation through the binary, driven as a
// consumer drives them: JSON documents in, canonical plan files out.
#include <gtest/gtest.h>

#include "consumer.h"
#include "core/clock.h"
#include "core/digest.h"
#include "core/fs.h"
#include "store/pool.h"
#include "support/bundle_writer.h"
#include "support/runner.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::BundleParts;
using testing::FileSpec;
using testing::TempDir;
using testing::apply_request;
using testing::bundle_flags;
using testing::exists;
using testing::make_bundle;
using testing::make_dirs;
using testing::plan_request;
using testing::provider_json;
using testing::read_text;
using testing::refusal_of;
using testing::run_velk;
using testing::status_identity;
using testing::store_plan;
using testing::write_bundle;
using testing::write_text;

struct Consumer {
  TempDir t;     // the target
  TempDir side;  // bundles and stored plans
  int plans = 0;

  BundleClaim bundle(const std::map<std::string, FileSpec>& files,
                     std::optional<TargetScope> scope = std::nullopt,
                     const std::string& setup = "test-setup") {
    return write_bundle(side / ("b" + std::to_string(++plans) + ".zip"),
                        make_bundle(files, scope, setup));
  }
  // Plans, stores the plan canonically and applies it.
  Json plan_and_apply(const std::string& operation, const std::vector<std::string>& plan_flags,
                      const std::vector<std::string>& apply_flags = {}) {
    const Json envelope = plan_request(t.path(), operation, plan_flags);
    EXPECT_EQ(envelope.value("state", ""), "planned") << envelope.dump();
    const std::string path = store_plan(envelope, side / ("plan" + std::to_string(++plans)));
    return apply_request(t.path(), path, envelope.value("plan_digest", ""), apply_flags);
  }
  size_t slots() const {
    const auto listed = list_slots(BackupPool{t / ".velk-setup-system/backups", 10});
    return listed.ok() ? listed->size() : 0;
  }
};

TEST(ConsumerRoundTrip, InstallThenRestoreReturnsToTheIdentityBeforeIt) {
  Consumer c;
  write_text(c.t / "AGENTS.md", "hand-written\n");
  const std::string before = status_identity(c.t.path());
  const BundleClaim claim =
      c.bundle({{"AGENTS.md", {"# team\n"}}, {"skills/lint/SKILL.md", {"lint\n"}}});

  // validate-bundle belongs to another part of the build; use it when present.
  const auto validated = run_velk(
      [&] {
        std::vector<std::string> a = {"validate-bundle", "--target", c.t.path(), "--json"};
        for (auto& f : bundle_flags(claim)) a.push_back(f);
        return a;
      }());
  if (validated.exit_code == 0) {
    EXPECT_EQ(parse_json(validated.out)->value("valid", false), true) << validated.out;
  }

  const Json installed = c.plan_and_apply("install", bundle_flags(claim), bundle_flags(claim));
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
  const BundleClaim claim = c.bundle(files);
  const Json envelope = plan_request(c.t.path(), "install", bundle_flags(claim));

  std::vector<std::string> keys;
  for (const auto& [key, value] : envelope.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"state", "plan_digest", "effects",
                                            "expected_target_digest", "bundle_format",
                                            "bundle_digest", "artifact_digest", "bundle_size",
                                            "valid", "plan"}));
  keys.clear();
  for (const auto& [key, value] : envelope.at("plan").items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "format", "protocol_version", "provider_id", "provider_version",
                      "provider_build_digest", "provider_release_digest", "operation_id",
                      "operation", "canonical_target", "expected_target_digest",
                      "projection_profile_digest", "bundle", "backup_ref",
                      "restore_target_digest", "permission_profile", "platform", "expires_at",
                      "effects"}));

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

  // One field changed: refused before anything is touched.
  Json changed = envelope;
  changed["plan"]["operation_id"] = "op-other";
  const Json refused =
      apply_request(c.t.path(), store_plan(changed, c.side / "changed"), digest,
                    bundle_flags(claim));
  EXPECT_EQ(refusal_of(refused),
            "digest_mismatch: the approved plan artifact has another digest; no effect was made");
  EXPECT_FALSE(exists(c.t / ".velk-setup-system"));

  // The same content spaced otherwise is the same plan.
  write_text(c.side / "pretty", envelope.at("plan").dump(2) + "\n");
  const Json applied = apply_request(c.t.path(), c.side / "pretty", digest, bundle_flags(claim));
  ASSERT_EQ(applied.value("state", ""), "verified") << applied.dump();
  EXPECT_EQ(c.slots(), 1u);

  const Json again = apply_request(c.t.path(), c.side / "pretty", digest, bundle_flags(claim));
  EXPECT_EQ(refusal_of(again),
            "stale: the target changed after the lock was taken; no effect was made");
  EXPECT_EQ(c.slots(), 1u);
  EXPECT_FALSE(exists(c.t / ".velk-setup-system/journal.json"));
}

TEST(ApplyOperation, ExpiryIsExactToTheMillisecond) {
  Consumer c;
  const Json bad = plan_request(c.t.path(), "backup", {}, "2099-12-31T23:59:59Z");
  EXPECT_EQ(refusal_of(bad),
            "stale: the expiry 2099-12-31T23:59:59Z is not the exact shape "
            "YYYY-MM-DDTHH:MM:SS.mmmZ, so no plan made from it could ever be applied");

  const Json envelope =
      plan_request(c.t.path(), "backup", {}, format_utc_millis(now_utc_millis() - 1));
  ASSERT_EQ(envelope.value("state", ""), "planned");
  const Json late = apply_request(c.t.path(), store_plan(envelope, c.side / "late"),
                                  envelope.at("plan_digest").get<std::string>());
  EXPECT_EQ(refusal_of(late), "stale: this plan expired before it was applied; no effect was made");
  EXPECT_FALSE(exists(c.t / ".velk-setup-system"));
}

TEST(PlanOperation, ABundleForABackupIsRefusedBeforeTheTargetIsRead) {
  Consumer c;
  const BundleClaim claim = c.bundle({{"AGENTS.md", {"one\n"}}});
  const Json refused = plan_request("/nonexistent/target", "backup", bundle_flags(claim));
  EXPECT_EQ(refusal_of(refused),
            "unsupported_operation: backup reads no bundle, so one named for it would be echoed "
            "into the plan and never read; install, replace and remove are the operations that "
            "take one");
}

TEST(UserRootScope, InstallStatusAndRemoveTouchOnlyWhatWasRecorded) {
  Consumer c;
  write_text(c.t / "AGENTS.md", "another product's\n");
  write_text(c.t / "skills/theirs/SKILL.md", "theirs\n");
  const BundleClaim claim = c.bundle({{"skills/ours/SKILL.md", {"ours\n"}}}, TargetScope::user_root);
  const std::vector<std::string> scope = {"--target-scope", "user_root"};
  std::vector<std::string> flags = bundle_flags(claim);
  flags.insert(flags.end(), scope.begin(), scope.end());

  const Json envelope = plan_request(c.t.path(), "install", flags);
  EXPECT_EQ(envelope.at("plan").at("target_scope"), "user_root");
  EXPECT_EQ(envelope.at("effects")[1],
            "only the files this provider recorded writing under this scope go; anything else "
            "under the same root is left alone");
  const Json installed = apply_request(c.t.path(), store_plan(envelope, c.side / "install"),
                                       envelope.at("plan_digest").get<std::string>(),
                                       bundle_flags(claim));
  ASSERT_EQ(installed.value("state", ""), "verified") << installed.dump();

  // No scope named: the record decides, and the recorded file is what is measured.
  const Json status = provider_json({"status", "--target", c.t.path(), "--json"});
  EXPECT_EQ(status.value("drift_state", ""), "clean");
  EXPECT_EQ(status.at("target_identity_digest"), installed.at("target_identity_digest"));
  write_text(c.t / "skills/theirs/SKILL.md", "theirs, edited\n");
  EXPECT_EQ(status_identity(c.t.path()), installed.at("target_identity_digest"));

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
  const BundleClaim first = c.bundle({{"plugins/a/plugin.json", {"{}\n"}}});
  const BundleClaim second = c.bundle({{"plugins/b/plugin.json", {"{}\n"}}});

  ASSERT_EQ(c.plan_and_apply("install", bundle_flags(first), bundle_flags(first)).value("state", ""),
            "verified");
  EXPECT_EQ(read_text(kept), "{\"mine\":true}\n");
  ASSERT_EQ(c.plan_and_apply("replace", bundle_flags(second), bundle_flags(second))
                .value("state", ""),
            "verified");
  EXPECT_EQ(read_text(kept), "{\"mine\":true}\n");
  EXPECT_FALSE(exists(c.t / "plugins/a"));
  ASSERT_EQ(c.plan_and_apply("restore", {}).value("state", ""), "verified");
  EXPECT_EQ(read_text(kept), "{\"mine\":true}\n");
  EXPECT_TRUE(exists(c.t / "plugins/a/plugin.json"));
  ASSERT_EQ(c.plan_and_apply("remove", {}).value("state", ""), "verified");
  EXPECT_EQ(read_text(kept), "{\"mine\":true}\n");
  EXPECT_FALSE(exists(c.t / "plugins/a"));
}

}  // namespace
}  // namespace velk
