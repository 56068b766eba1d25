// software, rollback and launch on real installs; software plans over the wire.
#include <sys/file.h>

#include "consumer.h"

namespace velk {
namespace {

using namespace velk::testing;

class SoftwareCommands : public ::testing::Test {
 protected:
  SoftwareCommands() { make_dirs(home()); }
  std::string P() const { return tmp_ / "prefix"; }
  std::string at(std::string_view relative) const { return path_join(P(), relative); }

  RunResult software() { return run_velk({"software", "--prefix", P()}); }
  RunResult rollback(const std::string& version) {
    return run_velk({"rollback", "--to", version, "--prefix", P()});
  }

  std::string exposed_state() {
    return link_target(at("bin/velk")) + "|" + read_text(at("bin/.velk.version")) + "|" +
           read_text(at("bin/.velk.manifest.json"));
  }

  std::string home() const { return tmp_ / "home"; }

  TempDir tmp_;
};

TEST_F(SoftwareCommands, ListsVersionsAndRollsBack) {
  expect_output(software(), "No version of velk is installed under " + P() + ".\n");
  EXPECT_FALSE(exists(P()));

  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  ASSERT_TRUE(install_version(P(), "1.0.13").ok());
  // The guides show a listing and a rollback's report; here, the disk and other listings.
  const std::string tail = "\n  Change it with:  rollback --to <version> --prefix " + P() + "\n";
  ASSERT_EQ(rollback("1.0.18").exit_code, 0);
  EXPECT_EQ(link_target(at("bin/velk")), at("1.0.18/velk"));
  EXPECT_EQ(read_text(at("bin/.velk.version")), "1.0.18");
  EXPECT_EQ(read_text(at("bin/.velk.manifest.json")),
            installation_record("1.0.18", "1.0.18/velk",
                                testing::planned_software("1.0.18").build.sha256));
  EXPECT_EQ(read_text(at(".velk-setup-system/target.lock")), "velk-setup-system rollback");
  expect_output(software(), "velk under " + P() + ":\n\n    1.0.13\n  * 1.0.18\n\n  " +
                                at("bin/velk") + " runs 1.0.18" + tail);

  const std::string before = exposed_state();
  expect_output(rollback("1.0.18"), at("bin/velk") + " already runs 1.0.18; nothing to do.\n");
  EXPECT_EQ(exposed_state(), before);
  EXPECT_FALSE(exists(at("bin/.velk.version.incoming")));

  // Nothing exposed: the marker names no installed version.
  write_text(at("bin/.velk.version"), "0.1");
  expect_output(software(), "velk under " + P() + ":\n\n    1.0.13\n    1.0.18\n\n"
                            "  Nothing is exposed: " + at("bin/velk") +
                                " names no installed version." + tail);
  expect_output(rollback("1.0.13"), at("bin/velk") + " now runs 1.0.13.\n");

  ASSERT_EQ(::unlink(at("bin/velk").c_str()), 0);
  write_text(at("bin/velk"), "not a link", 0755);
  ASSERT_EQ(rollback("1.0.18").exit_code, 0);
  EXPECT_EQ(link_target(at("bin/velk")), at("1.0.18/velk"));
}

TEST_F(SoftwareCommands, RollbackRefusalsAndTheLockItWaitsForNot) {
  expect_failure(run_velk({"rollback", "--prefix", P()}),
                 "rollback requires --to <version>, and " + P() + " holds none");
  expect_failure(rollback("1.0.18"), P() + " holds no installed version of velk");
  EXPECT_FALSE(exists(P()));

  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  make_dirs(at("0.9"));
  expect_failure(run_velk({"rollback", "--prefix", P()}),
                 "rollback requires --to <version>; " + P() + " holds 0.9, 1.0.18");
  expect_failure(rollback("1.0.13"), "1.0.13 is not installed under " + P() + "; it holds 0.9, 1.0.18");

  // Another process's software operation holds the lock: refused at once.
  ASSERT_TRUE(install_version(P(), "1.0.13").ok());
  const std::string before = exposed_state();
  const std::string lock_path = at(".velk-setup-system/target.lock");
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  expect_failure(rollback("1.0.18"), "another process holds " + lock_path);
  EXPECT_EQ(exposed_state(), before);
  EXPECT_EQ(software().exit_code, 0);  // reading takes no lock
  ::close(fd);
  EXPECT_EQ(rollback("1.0.18").exit_code, 0);
}

TEST_F(SoftwareCommands, LaunchPassesTheArgumentsThroughAndEndsAsTheProductEnds) {
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  const RunResult r = run_velk({"launch", "--target", home(), "--prefix", P(), "--json", "--",
                                "--target", "x", "--exit", "3"});
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(r.out, "velk 1.0.18\nVELK_HOME=" + home() +
                       "\nVELK_DISABLE_AUTOUPDATER=1\narg: --target\narg: x\narg: --exit\narg: 3\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(SoftwareCommands, OverTheWireApplyHoldsThePlanToItsPrefixAndPinnedBuild) {
  const Json envelope = plan_request(home(), "software_install", {"--prefix", P()});
  const std::string digest = envelope.value("plan_digest", "");
  const std::string stored = store_plan(envelope, tmp_ / "plan.json");
  const std::string artifact = host_artifact("1.0.18");

  Json answer = apply_request(home(), stored, digest,
                              {"--prefix", tmp_ / "other", "--software-artifact", artifact});
  EXPECT_EQ(refusal_of(answer), "stale: the approved plan was made for the prefix " + P() +
                                    ", not " + (tmp_ / "other") + "; no effect was made");
  EXPECT_FALSE(exists(tmp_ / "other"));

  // Edited and digested again: not the pinned build; a platform naming no system.
  const auto apply_edited = [&](const std::function<void(Json&)>& edit) {
    Json plan = envelope.at("plan");
    edit(plan);
    write_text(tmp_ / "forged.json", canonical_json(plan).value());
    return refusal_of(apply_request(home(), tmp_ / "forged.json",
                                    digest_document(kPlanTag, plan).value(),
                                    {"--prefix", P(), "--software-artifact", artifact}));
  };
  EXPECT_EQ(apply_edited([](Json& plan) { plan["software_artifacts"][0]["byte_length"] = 1; }),
            "digest_mismatch: the approved plan's software_artifacts are not the pinned build of "
            "velk 1.0.18; no effect was made");
  const Json host = envelope.at("plan").at("platform");
  EXPECT_EQ(apply_edited([](Json& plan) { plan["platform"].erase("os"); }),
            "unsupported_platform: the approved plan was made for /" +
                host.at("arch").get<std::string>() + ", and this build runs on " +
                host.at("os").get<std::string>() + "/" + host.at("arch").get<std::string>() +
                "; no effect was made");
  EXPECT_FALSE(exists(P()));

  answer = plan_request(home(), "software_update", {"--prefix", P()});
  EXPECT_EQ(refusal_of(answer), "provider_unavailable: there is no velk under " + P() +
                                    " to update; software_install is the operation that puts one "
                                    "there");
}

}  // namespace
}  // namespace velk
