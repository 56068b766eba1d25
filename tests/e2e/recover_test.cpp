// recover-operation through the binary: what it refuses, and what it
// leaves alone.
#include <gtest/gtest.h>

#include "consumer.h"
#include "store/journal.h"
#include "store/target.h"
#include "support/temp_dir.h"
#include "support/write_path.h"

namespace velk {
namespace {

using namespace velk::testing;

struct Managed {
  TempDir t;
  std::string control = t / ".velk-setup-system";
  std::string journal = control + "/journal.json";
  Managed() { EXPECT_TRUE(install_files(t.path(), "op-1", {{"AGENTS.md", "one\n"}}).ok()); }

  // recover-operation must answer `out` and leave the journal and the
  // target as they were.
  void expect_recover(const std::string& out) {
    const std::string before = exists(journal) ? read_text(journal) : "";
    expect_output(run_velk({"recover-operation", "--target", t.path(), "--json"}), out);
    EXPECT_EQ(exists(journal) ? read_text(journal) : "", before);
    EXPECT_EQ(read_text(t / "AGENTS.md"), "one\n");
  }
  void publish(std::optional<std::string> backup) {
    ASSERT_TRUE(publish_journal(control, Journal{1, "prepared", "op-2", "install", "sha256:p",
                                                 identity_now(t.path()), backup, std::nullopt})
                    .ok());
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

  auto lock = lock_target(m.control);
  ASSERT_TRUE(lock.ok());
  m.expect_recover(
      refusal_line("provider_unavailable", "another process holds " + m.control + "/target.lock"));
}

}  // namespace
}  // namespace velk
