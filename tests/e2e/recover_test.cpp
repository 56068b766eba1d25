// recover-operation through the binary: what it refuses, and what it
// leaves alone.
#include <gtest/gtest.h>

#include "core/fs.h"
#include "store/journal.h"
#include "store/target.h"
#include "support/runner.h"
#include "support/temp_dir.h"
#include "support/write_path.h"

namespace velk {
namespace {

using testing::TempDir;
using testing::exists;
using testing::identity_now;
using testing::install_files;
using testing::make_dirs;
using testing::read_text;
using testing::run_velk;
using testing::write_text;

std::string recover_of(const std::string& target) {
  const auto r = run_velk({"recover-operation", "--target", target, "--json"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return r.out;
}

std::string refusal(const std::string& reason, const std::string& detail) {
  return R"({"state":"refused","rejected":true,"reason":")" + reason + R"(","detail":")" +
         detail + "\"}\n";
}

constexpr char kNothingToResolve[] =
    R"({"state":"verified","recovered":false,"detail":"no journal is published; there is nothing to resolve"})"
    "\n";

struct Managed {
  TempDir t;
  std::string control = t / ".velk-setup-system";
  std::string journal = control + "/journal.json";
  Managed() {
    EXPECT_TRUE(install_files(t.path(), "op-1", {{"AGENTS.md", "one\n"}}).ok());
  }
};

TEST(RecoverOperation, AJournalThatNamesNoBackupIsRefusedAndStays) {
  Managed m;
  ASSERT_TRUE(publish_journal(m.control, Journal{1, "prepared", "op-2", "install", "sha256:p",
                                                 identity_now(m.t.path()), std::nullopt,
                                                 std::nullopt})
                  .ok());
  const std::string bytes = read_text(m.journal);
  EXPECT_EQ(recover_of(m.t.path()),
            refusal("recovery_required",
                    "the journal names no backup, so the pre-operation target cannot be restored"));
  EXPECT_EQ(read_text(m.journal), bytes);
}

TEST(RecoverOperation, AJournalNamingAMissingSlotStays) {
  Managed m;
  ASSERT_TRUE(publish_journal(m.control, Journal{1, "prepared", "op-2", "install", "sha256:p",
                                                 identity_now(m.t.path()), "slot-000000000005",
                                                 std::nullopt})
                  .ok());
  EXPECT_EQ(recover_of(m.t.path()),
            refusal("digest_mismatch", "backup slot-000000000005 is absent or incomplete"));
  EXPECT_TRUE(exists(m.journal));
  EXPECT_EQ(read_text(m.t / "AGENTS.md"), "one\n");
}

TEST(RecoverOperation, AJournalOfAnotherSchemaBlocksPlanningAndRecovery) {
  Managed m;
  write_text(m.journal, R"({"schema_version":2,"phase":"prepared"})");
  const std::string message = "journal schema 2 is not the 1 this build writes";
  EXPECT_EQ(recover_of(m.t.path()), refusal("recovery_required", message));
  const auto next = install_files(m.t.path(), "op-2", {{"AGENTS.md", "two\n"}});
  ASSERT_FALSE(next.ok());
  EXPECT_EQ(next.error().message, message);
  EXPECT_EQ(read_text(m.t / "AGENTS.md"), "one\n");
}

TEST(RecoverOperation, ATransactionDirectoryIsRefusedButNeverRemoved) {
  Managed m;
  make_dirs(m.control + "/transaction/inside");
  EXPECT_EQ(recover_of(m.t.path()), kNothingToResolve);
  EXPECT_TRUE(exists(m.control + "/transaction/inside"));
  const auto next = install_files(m.t.path(), "op-2", {{"AGENTS.md", "two\n"}});
  ASSERT_FALSE(next.ok());
  EXPECT_EQ(next.error().message, "a transaction directory remains at " + m.control +
                                      "/transaction; run recovery before planning");
}

TEST(RecoverOperation, ABusyTargetIsRefusedWithoutWaiting) {
  Managed m;
  auto lock = lock_target(m.control);
  ASSERT_TRUE(lock.ok());
  EXPECT_EQ(recover_of(m.t.path()),
            refusal("provider_unavailable", "another process holds " + m.control + "/target.lock"));
}

}  // namespace
}  // namespace velk
