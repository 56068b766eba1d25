// The product's program over the wire, as a consumer drives it: plan a
// software operation, fetch (here: copy) the pinned artifact, apply exactly
// that plan, then use the program directory from the user commands and
// launch the installed product against a target.
#include <gtest/gtest.h>

#include "consumer.h"
#include "core/digest.h"
#include "support/software_prefix.h"
#include "support/temp_dir.h"

namespace velk::testing {
namespace {

struct Fixture {
  TempDir dir;
  std::string target = dir / "home";
  std::string prefix = dir / "prefix";
  Fixture() { make_dirs(target); }

  // Plans the operation and applies it with the artifacts the plan names.
  Json plan_and_apply(const std::string& operation, Words plan_extra, const Words& artifacts) {
    plan_extra.insert(plan_extra.begin(), {"--prefix", prefix});
    Words apply_extra = {"--prefix", prefix};
    for (const std::string& a : artifacts)
      apply_extra.insert(apply_extra.end(), {"--software-artifact", a});
    return velk::testing::plan_and_apply(target, operation, plan_extra, apply_extra,
                                         dir / (operation + ".plan.json"));
  }
};

TEST(SoftwareOverTheWire, InstallRollbackLaunchAndRemove) {
  Fixture f;
  const std::string current = host_artifact("1.0.18");
  const std::string previous = host_artifact("1.0.13");

  const Json envelope = plan_request(f.target, "software_install", {"--prefix", f.prefix});
  const Json& plan = envelope.at("plan");
  ASSERT_EQ(plan.at("software_artifacts").size(), 1u);
  const Json& artifact = plan.at("software_artifacts").at(0);
  EXPECT_EQ(artifact.at("sha256"), digest_file(current).value());
  EXPECT_EQ(plan.at("platform").at("version"), "1.0.18");
  EXPECT_EQ(envelope.at("effects").back(), "point " + f.prefix + "/bin/velk at it");

  Json applied = f.plan_and_apply("software_install", {}, {current});
  EXPECT_EQ(refusal_of(applied), "");
  EXPECT_EQ(applied.value("version", ""), "1.0.18");
  EXPECT_EQ(applied.value("executable", ""), f.prefix + "/bin/velk");
  EXPECT_EQ(applied.value("files", 0), 1);

  applied = f.plan_and_apply("software_install", {"--software-version", "1.0.13"}, {previous});
  EXPECT_EQ(applied.value("version", ""), "1.0.13") << applied.dump();
  RunResult r = run_velk({"software", "--prefix", f.prefix});
  EXPECT_NE(r.out.find("  * 1.0.13\n    1.0.18\n"), std::string::npos) << r.out;
  ASSERT_EQ(run_velk({"rollback", "--to", "1.0.18", "--prefix", f.prefix}).exit_code, 0);

  // The launched product sees the target as its home, the auto-updater off,
  // the arguments after "--" unchanged, and its exit status is the command's.
  RunOptions elsewhere;
  elsewhere.set_env = {{"VELK_HOME", "/somewhere/else"}, {"VELK_DISABLE_AUTOUPDATER", "0"}};
  r = run_velk({"launch", "--target", f.target, "--prefix", f.prefix, "--json", "--", "--target",
                "x", "--exit", "3"},
               elsewhere);
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(r.out, "velk 1.0.18\nVELK_HOME=" + f.target +
                       "\nVELK_DISABLE_AUTOUPDATER=1\narg: --target\narg: x\narg: --exit\narg: 3\n");
  EXPECT_EQ(r.err, "");

  // Other bytes at the installed path, even another pinned build, start
  // nothing.
  write_text(f.prefix + "/1.0.18/velk", read_text(previous), 0755);
  r = run_velk({"launch", "--target", f.target, "--prefix", f.prefix, "--json"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("is not the velk this provider installed: recorded sha256:"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("velk 1.0.1"), std::string::npos);

  // Removing the exposed version takes its tree, the command and the marker,
  // and keeps the installation record.
  applied = f.plan_and_apply("software_remove", {}, {});
  EXPECT_EQ(applied.value("removed", false), true) << applied.dump();
  EXPECT_FALSE(exists(f.prefix + "/1.0.18"));
  EXPECT_FALSE(exists(f.prefix + "/bin/velk"));
  EXPECT_FALSE(exists(f.prefix + "/bin/.velk.version"));
  EXPECT_TRUE(exists(f.prefix + "/bin/.velk.manifest.json"));
  EXPECT_TRUE(exists(f.prefix + "/1.0.13/velk"));
}

TEST(SoftwareOverTheWire, ApplyHoldsThePlanToItsPrefixAndPinnedBuild) {
  Fixture f;
  const Json envelope = plan_request(f.target, "software_install", {"--prefix", f.prefix});
  const std::string digest = envelope.value("plan_digest", "");
  const std::string stored = store_plan(envelope, f.dir / "plan.json");
  const std::string artifact = host_artifact("1.0.18");

  Json answer = apply_request(f.target, stored, digest,
                              {"--prefix", f.dir / "other", "--software-artifact", artifact});
  EXPECT_EQ(refusal_of(answer), "stale: the approved plan was made for the prefix " + f.prefix +
                                    ", not " + (f.dir / "other") + "; no effect was made");
  EXPECT_FALSE(exists(f.dir / "other"));

  // A plan whose artifact entry was edited (and re-digested) is not the
  // pinned build.
  Json plan = envelope.at("plan");
  plan["software_artifacts"][0]["byte_length"] = 1;
  write_text(f.dir / "forged.json", canonical_json(plan).value());
  answer = apply_request(f.target, f.dir / "forged.json",
                         digest_document(kPlanTag, plan).value(),
                         {"--prefix", f.prefix, "--software-artifact", artifact});
  EXPECT_EQ(refusal_of(answer),
            "digest_mismatch: the approved plan's software_artifacts are not the pinned build of "
            "velk 1.0.18; no effect was made");
  EXPECT_FALSE(exists(f.prefix));

  // Update with nothing installed is refused while planning.
  answer = plan_request(f.target, "software_update", {"--prefix", f.prefix});
  EXPECT_EQ(refusal_of(answer), "provider_unavailable: there is no velk under " + f.prefix +
                                    " to update; software_install is the operation that puts one "
                                    "there");
}

}  // namespace
}  // namespace velk::testing
