// status --json and recover-operation, compared byte for byte.
#include "consumer.h"

namespace velk {
namespace {

using namespace velk::testing;

constexpr char kNothing[] =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const Files kFiles = {{"AGENTS.md", "agents\n"}, {"skills/a/SKILL.md", "a\n"}};

std::string status_of(const std::string& target, Words extra = {}) {
  extra.insert(extra.begin(), {"status", "--target", target, "--json"});
  const RunResult r = run_velk(extra);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return r.out;
}

// The whole document; `drift` is the leading member, present only when clean.
std::string document(bool clean, const std::string& cleanup, const std::string& state,
                     const std::string& digest, const std::string& target,
                     const std::string& provider_state, const std::string& journal,
                     const std::string& backups) {
  return std::string(clean ? R"({"drift_state":"clean",)" : "{") +
         R"("shadowed_by":[],"cleanup_state":")" + cleanup + R"(","state":")" + state +
         R"(","target_digest":")" + digest +
         R"(","protocol_version":3,"provider_id":"velk-setup-system","harness_id":"velk-build",)"
         R"("canonical_target":")" + target + R"(","target_identity_digest":")" + digest +
         R"(","provider_state":)" + provider_state + R"(,"journal":)" + journal +
         R"(,"backups":)" + backups + "}\n";
}

std::string readable(const std::string& operation_id, int slot, const std::string& recorded,
                     const std::string& drift) {
  return R"({"present":true,"readable":true,"setup_stable_id":"test-setup","setup_version":null,)"
         R"("operation_id":")" + operation_id + R"(","backup_ref":"slot-00000000000)" +
         std::to_string(slot) + R"(","recorded_identity":")" + recorded +
         R"(","drift_state":")" + drift + "\"}";
}

std::string slot(int n, const std::string& setup = "null", const std::string& hold = "") {
  return R"({"backup_ref":"slot-00000000000)" + std::to_string(n) +
         R"(","operation":"install","setup_id":)" + setup + R"(,"held":)" +
         (hold.empty() ? "false" : "true") + R"(,"hold_reason":)" +
         (hold.empty() ? "null" : "\"" + hold + "\"") + "}";
}

TEST(Status, UnmanagedMissingAndAnotherSchemaCreateNothing) {
  TempDir t;
  EXPECT_EQ(status_of(t.path()), document(false, "none", "unmanaged", kNothing, t.path(),
                                          R"({"present":false})", "null", "[]"));
  EXPECT_EQ(status_of(t / "absent"), document(false, "none", "missing", kNothing, t / "absent",
                                              R"({"present":false})", "null", "[]"));
  write_text(t / "MIREL-VELK-PROVIDER.json", "{\"state_schema\": 3}\n");
  EXPECT_EQ(status_of(t.path()),
            document(false, "none", "unmanaged", kNothing, t.path(),
                     R"({"present":true,"readable":false,"found_schema":3,)"
                     R"("detail":"a schema this build does not write; status never migrates it"})",
                     "null", "[]"));
  EXPECT_EQ(read_text(t / "MIREL-VELK-PROVIDER.json"), "{\"state_schema\": 3}\n");
  EXPECT_FALSE(exists(t / ".velk-setup-system"));
  EXPECT_EQ(status_of(t.path(), {"--target-scope", "project"}),
            refusal_line("unsupported_operation",
                         "--target-scope project names a target this provider publishes no "
                         "projection profile for"));
}

TEST(Status, ACleanTargetListsSlotsNewestFirstWithTheirHoldsAndDriftsWhenEdited) {
  TempDir t;
  ASSERT_TRUE(install_files(t.path(), "op-1", kFiles).ok());
  ASSERT_TRUE(install_files(t.path(), "op-2", {{"AGENTS.md", "two\n"}}).ok());
  ASSERT_TRUE(install_files(t.path(), "op-3", kFiles).ok());
  const BackupPool pool{t / ".velk-setup-system/backups", 10, dir_of(t / ".velk-setup-system/backups")};
  ASSERT_TRUE(hold(pool, "slot-000000000001", std::string("before the upgrade")).ok());
  write_text(pool.path + "/slot-000000000003/HELD", "   ");
  const std::string slots = "[" + slot(3, "\"test-setup\"", "no reason recorded") + "," +
                            slot(2, "\"test-setup\"") + "," +
                            slot(1, "null", "before the upgrade") + "]";
  const std::string applied = identity_now(t.path());
  EXPECT_EQ(status_of(t.path()), document(true, "none", "managed", applied, t.path(),
                                          readable("op-3", 3, applied, "clean"), "null", slots));

  write_text(t / "skills/a/SKILL.md", "edited\n");
  const std::string edited = identity_now(t.path());
  ASSERT_NE(edited, applied);
  EXPECT_EQ(status_of(t.path()),
            document(false, "none", "managed", edited, t.path(),
                     readable("op-3", 3, applied, "local_drift"), "null", slots));
}

TEST(Status, ReportsCommittedAndPreparedJournals) {
  TempDir t;
  ASSERT_TRUE(install_files(t.path(), "op-1", kFiles).ok());
  const std::string applied = identity_now(t.path());
  const std::string control = t / ".velk-setup-system";
  ASSERT_TRUE(commit_journal(dir_of(control), Journal{1, "committed", "op-1", "install", "sha256:p",
                                              applied, "slot-000000000001", std::nullopt})
                  .ok());
  EXPECT_EQ(status_of(t.path()),
            document(true, "pending", "managed", applied, t.path(),
                     readable("op-1", 1, applied, "clean"),
                     R"({"phase":"committed","operation":"install","operation_id":"op-1"})",
                     "[" + slot(1) + "]"));
  ASSERT_TRUE(clear_journal(dir_of(control)).ok());

  // An effect that fails half way leaves the journal prepared.
  PerformHooks hooks;
  hooks.effects = [](const PerformContext& c) -> Result<EffectsOutcome> {
    write_text(c.store.target_path + "/AGENTS.md", "half\n");
    return make_error(ErrorKind::state_unavailable, "stopped");
  };
  ASSERT_FALSE(perform(t.path(), plan_now(t.path(), "op-2"), hooks).ok());
  EXPECT_EQ(status_of(t.path()),
            document(false, "required", "managed", identity_now(t.path()), t.path(),
                     readable("op-1", 1, applied, "local_drift"),
                     R"({"phase":"prepared","operation":"install","operation_id":"op-2"})",
                     "[" + slot(2, "\"test-setup\"") + "," + slot(1) + "]"));
}

struct Managed {
  TempDir t;
  std::string control = t / ".velk-setup-system";
  std::string journal = control + "/journal.json";
  Managed() { EXPECT_TRUE(install_files(t.path(), "op-1", {{"AGENTS.md", "one\n"}}).ok()); }

  // The answer is `out`; the journal and the target stay.
  void expect_recover(const std::string& out) {
    const std::string before = exists(journal) ? read_text(journal) : "";
    expect_output(run_velk({"recover-operation", "--target", t.path(), "--json"}), out);
    EXPECT_EQ(exists(journal) ? read_text(journal) : "", before);
    EXPECT_EQ(read_text(t / "AGENTS.md"), "one\n");
  }
  void publish(std::optional<std::string> backup) {
    ASSERT_TRUE(publish_prepared(t.path(), "op-2", "install", backup));
  }
};

TEST(RecoverOperation, AJournalItCannotResolveIsRefusedAndStays) {
  Managed none;
  none.publish(std::nullopt);
  none.expect_recover(refusal_line("recovery_required",
                   "the journal names no backup, so the pre-operation target cannot be restored"));

  Managed missing;
  missing.publish("slot-000000000005");
  missing.expect_recover(
      refusal_line("digest_mismatch", "backup slot-000000000005 is absent or incomplete"));

  Managed other;
  write_text(other.journal, R"({"schema_version":2,"phase":"prepared"})");
  other.expect_recover(
      refusal_line("recovery_required", "journal schema 2 is not the 1 this build writes"));
}

TEST(RecoverOperation, ATransactionDirectoryIsNeverRemovedAndABusyTargetNeverWaitedFor) {
  Managed m;
  make_dirs(m.control + "/transaction/inside");
  m.expect_recover(
      R"({"state":"verified","recovered":false,"detail":"no journal is published; there is )"
      R"(nothing to resolve"})" "\n");
  EXPECT_TRUE(exists(m.control + "/transaction/inside"));

  auto lock = lock_target(dir_of(m.control));
  ASSERT_TRUE(lock.ok());
  m.expect_recover(
      refusal_line("provider_unavailable", "another process holds " + m.control + "/target.lock"));
}

}  // namespace
}  // namespace velk
