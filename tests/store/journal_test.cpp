#include "store/journal.h"

#include <gtest/gtest.h>

#include "store/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

Journal sample(std::optional<TargetScope> scope = std::nullopt) {
  return Journal{1, "prepared", "op-7", "install", "sha256:p", "sha256:t", "slot-000000000003", scope};
}

TEST(Journal, IsWrittenCanonicallyWithTheScopeOnlyWhenNamed) {
  TempDir t;
  ASSERT_TRUE(publish_journal(dir_of(t.path()), sample()).ok());
  EXPECT_EQ(read_text(t / "journal.json"),
            R"({"backup_ref":"slot-000000000003","operation":"install","operation_id":"op-7",)"
            R"("phase":"prepared","plan_digest":"sha256:p","schema_version":1,)"
            R"("target_precondition_digest":"sha256:t"})");

  Journal committed = sample(TargetScope::user_root);
  committed.backup_ref.reset();
  ASSERT_TRUE(commit_journal(dir_of(t.path()), committed).ok());
  EXPECT_EQ(read_text(t / "journal.json"),
            R"({"backup_ref":null,"operation":"install","operation_id":"op-7",)"
            R"("phase":"committed","plan_digest":"sha256:p","schema_version":1,)"
            R"("target_precondition_digest":"sha256:t","target_scope":"user_root"})");
  const Journal read = read_journal(dir_of(t.path())).value().value();
  EXPECT_EQ(read.phase, "committed");
  EXPECT_EQ(read.backup_ref, std::nullopt);
  EXPECT_EQ(read.target_scope, TargetScope::user_root);

  // Publishing refuses while one exists; clearing is idempotent.
  ASSERT_TRUE(clear_journal(dir_of(t.path())).ok());
  ASSERT_TRUE(publish_journal(dir_of(t.path()), sample()).ok());
  const std::string first = read_text(t / "journal.json");
  expect_error(publish_journal(dir_of(t.path()), sample(TargetScope::user_root)),
               ErrorKind::recovery_required,
               "a journal is already published; only recovery may resolve it");
  EXPECT_EQ(read_text(t / "journal.json"), first);
  ASSERT_TRUE(clear_journal(dir_of(t.path())).ok());
  EXPECT_TRUE(clear_journal(dir_of(t.path())).ok());
  EXPECT_FALSE(read_journal(dir_of(t.path()))->has_value());
}

TEST(Journal, ReadingRefusesWhatItCannotTrust) {
  TempDir t;
  const std::string path = t / "journal.json";
  const std::string no_id = R"({"schema_version":1,"phase":"prepared","operation":"install",)"
                            R"("plan_digest":"p","target_precondition_digest":"t"})";
  const std::pair<std::string, std::string> cases[] = {
      {"{", "a journal exists at " + path + " but does not parse"},
      {no_id, "a journal exists at " + path + " but does not parse"},
      {R"({"schema_version":2,"phase":"prepared","operation_id":"o","operation":"install",)"
       R"("plan_digest":"p","target_precondition_digest":"t"})",
       "journal schema 2 is not the 1 this build writes"},
      // Past the 1 MiB a journal may take, it is not read at all.
      {"{" + std::string(1 << 20, ' '), "a journal exists at " + path + " but cannot be read"},
  };
  for (const auto& [bytes, message] : cases) {
    write_text(path, bytes);
    expect_error(read_journal(dir_of(t.path())), ErrorKind::recovery_required, message);
  }
  // A missing field is named in the cause.
  write_text(path, no_id);
  EXPECT_NE(read_journal(dir_of(t.path())).error().cause.find("operation_id"), std::string::npos);

  ASSERT_EQ(::unlink(path.c_str()), 0);
  make_dirs(path);
  expect_error(read_journal(dir_of(t.path())), ErrorKind::recovery_required,
               "a journal exists at " + path + " but cannot be read");
  EXPECT_TRUE(read_journal(dir_of(t.path())).error().has_cause());
}

TEST(Journal, UnresolvedWorkIsRefusedJournalFirstThenTransactionThenSlots) {
  TempDir t;
  const std::string transaction = t / "transaction";
  const std::vector<std::string> slots = {"slot-000000000009", "slot-000000000004"};
  const auto refuses = [&](const std::string& message) {
    expect_error(check_resolved(dir_of(t.path()), t / "backups", slots),
                 ErrorKind::recovery_required, message);
  };
  EXPECT_TRUE(check_resolved(dir_of(t.path()), t / "backups", {}).ok());
  refuses("backup slot " + (t / "backups/slot-000000000004") +
          " is incomplete; run recovery before planning");
  make_dirs(transaction);
  refuses("a transaction directory remains at " + transaction + "; run recovery before planning");
  ASSERT_TRUE(publish_journal(dir_of(t.path()), sample()).ok());
  refuses("operation op-7 is journaled as prepared; run recovery before planning");
  write_text(t / "journal.json", R"({"schema_version":2})");
  refuses("journal schema 2 is not the 1 this build writes");
}

}  // namespace
}  // namespace velk
