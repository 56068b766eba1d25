// Launching the installed stand-in: the checks before the exec, and an exec that fails.
#include <cstdio>

#include "core/digest.h"
#include "core/text.h"
#include "extract_fixture.h"

namespace velk::testing {
namespace {

class Launch : public PrefixTest {
 protected:
  void SetUp() override { ASSERT_TRUE(install_version(P(), "1.0.18").ok()); }

  std::string refusal(const std::vector<std::string>& args = {}) {
    auto prepared = prepare_launch(P(), tmp_ / "target", args);
    if (prepared.ok()) return "(prepared)";
    EXPECT_EQ(prepared.error().code, ReasonCode::provider_unavailable);
    return prepared.error().message;
  }

  const std::string record = at("bin/.velk.manifest.json");
};

TEST_F(Launch, CommandChecks) {
  // The program behind the link is gone.
  ASSERT_EQ(std::rename(at("1.0.18").c_str(), at("moved").c_str()), 0);
  EXPECT_EQ(refusal(), at("bin/velk") + " is not installed under " + P() + ": it links to " +
                           at("1.0.18/velk") +
                           ": No such file or directory; run software_install first");
  ASSERT_EQ(std::rename(at("moved").c_str(), at("1.0.18").c_str()), 0);

  ASSERT_EQ(::chmod(at("1.0.18/velk").c_str(), 0644), 0);
  EXPECT_EQ(refusal(), at("bin/velk") + " exists but this host cannot execute it");
  ASSERT_EQ(::chmod(at("1.0.18/velk").c_str(), 0755), 0);
  EXPECT_EQ(refusal({"ok", std::string("bad\0arg", 7)}), "nul byte found in provided data");

  // Another pinned build, of the same size, in place of the installed one.
  write_text(at("1.0.18/velk"), read_text(host_artifact("1.0.13")), 0755);
  EXPECT_EQ(refusal(), at("1.0.18/velk") + " is not the velk this provider installed: recorded " +
                           planned_software("1.0.18").build.sha256 + ", found " +
                           planned_software("1.0.13").build.sha256 +
                           ". Nothing has been started. Re-run software_install to put the pinned "
                           "bytes back, or software_remove to take the prefix off.");
}

TEST_F(Launch, TheEnvironmentIsTheCallersWithHomeAndUpdaterSet) {
  ::setenv("VELK_HOME", "/elsewhere", 1);
  ::setenv("VELK_DISABLE_AUTOUPDATER", "0", 1);
  ::setenv("VELK_TEST_KEPT", "kept", 1);
  auto prepared = prepare_launch(P(), tmp_ / "target", {});
  ::unsetenv("VELK_HOME");
  ::unsetenv("VELK_DISABLE_AUTOUPDATER");
  ::unsetenv("VELK_TEST_KEPT");
  ASSERT_TRUE(prepared.ok()) << prepared.error().message;
  std::vector<std::string> ours;
  for (const std::string& entry : prepared->environ)
    for (const char* name : {"VELK_HOME=", "VELK_DISABLE_AUTOUPDATER=", "VELK_TEST_KEPT="})
      if (starts_with(entry, name)) ours.push_back(entry);
  EXPECT_EQ(ours, (std::vector<std::string>{"VELK_TEST_KEPT=kept", "VELK_HOME=" + (tmp_ / "target"),
                                            "VELK_DISABLE_AUTOUPDATER=1"}));
}

TEST_F(Launch, RecordChecks) {
  const std::string sha = planned_software("1.0.18").build.sha256;

  // Members in another order are read as well.
  write_text(record, "{\"executable_sha256\":\"" + sha +
                         "\",\"executable\":\"1.0.18/velk\",\"version\":\"1.0.18\","
                         "\"schema_version\":1}");
  EXPECT_EQ(refusal(), "(prepared)");

  write_text(record, installation_record("1.0.18", "1.0.18/gone", sha));
  EXPECT_EQ(refusal(), record + " names " + at("1.0.18/gone") +
                           " and it could not be read: No such file or directory");

  ASSERT_EQ(::unlink(record.c_str()), 0);
  EXPECT_EQ(refusal(), record + " cannot be read: No such file or directory");
}

TEST_F(Launch, AnEditedRecordCannotPointAtAnyOtherProgram) {
  // A program outside the prefix, or climbing out of the version's tree, is
  // refused before a byte of it is read, whatever digest the record gives.
  write_text(tmp_ / "evil", "#!/bin/sh\necho owned\n", 0755);
  const std::string evil_sha = digest_file(tmp_ / "evil").value();
  for (const std::string& executable : std::vector<std::string>
       {tmp_ / "evil", std::string("1.0.18/../../evil"), std::string("1.0.13/velk"),
        std::string("1.0.18//velk"), std::string("1.0.18/./velk"), std::string("1.0.18")}) {
    SCOPED_TRACE(executable);
    write_text(record, installation_record("1.0.18", executable, evil_sha));
    EXPECT_EQ(refusal(), record + " names " + quoted_form(executable) +
                             ", which does not lie inside " + at("1.0.18") +
                             ". Nothing has been started.");
  }

  // A version this build does not pin, as `rollback --to` a directory
  // planted under the prefix would record it.
  write_text(at("planted/velk"), "#!/bin/sh\necho owned\n", 0755);
  write_text(record, installation_record("planted", "planted/velk", digest_file(at("planted/velk")).value()));
  EXPECT_EQ(refusal(), record + " names version \"planted\", which this build does not pin (it "
                                "pins 1.0.18 and 1.0.13). Nothing has been started.");

  // A link below the prefix is not followed to reach the program: neither
  // the command's own link, resolved beneath the prefix, nor the record's.
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  ASSERT_EQ(std::rename(at("1.0.18").c_str(), at("real").c_str()), 0);
  ASSERT_EQ(::symlink(at("real").c_str(), at("1.0.18").c_str()), 0);
  EXPECT_EQ(refusal(), at("bin/velk") + " is not installed under " + P() + ": it links to " +
                           at("1.0.18/velk") +
                           ": Too many levels of symbolic links; run software_install first");
  ASSERT_EQ(::unlink(at("bin/velk").c_str()), 0);
  ASSERT_EQ(::symlink(at("real/velk").c_str(), at("bin/velk").c_str()), 0);
  const std::string refused = refusal();
  EXPECT_EQ(refused.rfind(record + " names " + at("1.0.18/velk") + " and it could not be read: ", 0),
            0u)
      << refused;
  // A command linking outside the prefix runs nothing this provider placed.
  ASSERT_EQ(::unlink(at("bin/velk").c_str()), 0);
  ASSERT_EQ(::symlink((tmp_ / "evil").c_str(), at("bin/velk").c_str()), 0);
  EXPECT_EQ(refusal(), at("bin/velk") + " is not installed under " + P() + ": it links to " +
                           (tmp_ / "evil") + ", which is not inside " + P() +
                           "; run software_install first");
}

TEST_F(Launch, AProgramReplacedAfterItsDigestWasCheckedIsNotStarted) {
  auto prepared = prepare_launch(P(), tmp_ / "target", {});
  ASSERT_TRUE(prepared.ok()) << prepared.error().full();
  // Same bytes, another file, swapped in between the check and the exec.
  write_text(at("1.0.18/copy"), read_text(at("1.0.18/velk")), 0755);
  ASSERT_EQ(std::rename(at("1.0.18/copy").c_str(), at("1.0.18/velk").c_str()), 0);
  EXPECT_EQ(exec_launch(*prepared).message,
            at("1.0.18/velk") + " changed after its digest was checked. Nothing has been started.");
}

TEST_F(Launch, AnExecThatFailsReturnsItsReason) {
  // The record names a copy with the same bytes and no execute bit: the
  // checks pass and the exec itself fails, in the child, which carries on.
  write_text(at("1.0.18/copy"), read_text(at("1.0.18/velk")), 0644);
  write_text(record,
             installation_record("1.0.18", "1.0.18/copy", planned_software("1.0.18").build.sha256));
  const std::string err = tmp_ / "err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(30);  // bounds the wait below, even past an exec that worked
    write_text(err, launch_installed(P(), tmp_ / "target", {}).message);
    ::_exit(99);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 99) << status;
  EXPECT_EQ(read_text(err), at("1.0.18/copy") + " could not be started: Permission denied");
}

}  // namespace
}  // namespace velk::testing
