// The records the store keeps: the state file in the target and the
// journal in its control directory.
#include "core/json.h"
#include "store/journal.h"
#include "store/report.h"
#include "store/state.h"

#include "core/text.h"
#include "support/tree_helpers.h"

namespace velk {
namespace {

using namespace velk::testing;

ProviderState sample_state() {
  ProviderState s;
  s.provider_id = "velk-setup-system";
  s.provider_version = "0.0.63";
  s.provider_build_digest = "sha256:b";
  s.harness_id = "velk-build";
  s.canonical_target = "/t";
  s.target_identity_digest = "sha256:i";
  s.setup_stable_id = "minimal";
  s.operation_id = "op-1";
  s.target_precondition_digest = "sha256:p";
  s.native_ownership = {"skills"};
  s.written_paths = {"skills/a/SKILL.md", "skills/b"};
  s.backup_ref = "slot-000000000001";
  return s;
}

// The canonical bytes of sample_state(): members sorted, absent optionals
// null, no whitespace, no trailing newline.
const char kSampleBytes[] =
    R"({"artifact_digest":null,"backup_ref":"slot-000000000001","bundle_digest":null,)"
    R"("bundle_format":null,"canonical_target":"/t","component_refs":[],"drift_state":"clean",)"
    R"("harness_id":"velk-build","native_ownership":["skills"],"operation_id":"op-1",)"
    R"("previous_verified_identity":null,"projection_profile_digest":null,"protocol_version":3,)"
    R"("provider_build_digest":"sha256:b","provider_id":"velk-setup-system",)"
    R"("provider_plan_digest":null,"provider_release_digest":null,"provider_version":"0.0.63",)"
    R"("setup_definition_digest":null,"setup_stable_id":"minimal","setup_version":null,)"
    R"("setup_version_passport_digest":null,"state_schema":4,"target_identity_digest":"sha256:i",)"
    R"("target_precondition_digest":"sha256:p","written_paths":["skills/a/SKILL.md","skills/b"]})";

// The sample document without `member` (empty `value`) or with it set to `value`.
std::string sample_with(const std::string& member, const std::string& value) {
  Json doc = Json::parse(kSampleBytes);
  if (value.empty()) doc.erase(member);
  else doc[member] = Json::parse(value);
  return doc.dump();
}

class StateFile : public ::testing::Test {
 protected:
  std::string path() const { return dir_ / "MIREL-VELK-PROVIDER.json"; }
  void put(const std::string& bytes) { write_text(path(), bytes); }
  Result<StateRead> read() const { return read_state(dir_of(dir_.path())); }
  StateRead read_ok(const std::string& bytes) {
    put(bytes);
    auto r = read();
    EXPECT_TRUE(r.ok()) << r.error().full();
    return r.ok() ? *r : StateRead{};
  }
  TempDir dir_;
};

TEST_F(StateFile, ToleratesWhiteSpaceAroundTheDocumentAndMissingOptionals) {
  const StateRead spaced = read_ok(std::string(" \n") + kSampleBytes + "\n  ");
  EXPECT_TRUE(spaced.present());
  EXPECT_EQ(spaced.state, sample_state());
  EXPECT_FALSE(read_ok(sample_with("backup_ref", "")).state.backup_ref.has_value());
  EXPECT_EQ(read_ok(sample_with("drift_state", "\"local_drift\"")).state.drift_state,
            DriftState::local_drift);
}

TEST_F(StateFile, RefusesWhatIsNoRecordOfThisSchema) {
  // More values than any record could hold (131,072) are not built.
  std::string padded = "[\"a\"";
  for (int i = 1; i < (1 << 17); ++i) padded += ",\"a\"";
  padded += "]";
  const std::string sample = kSampleBytes, no_schema = " declares no state_schema",
                    not_json = " does not parse as JSON",
                    mismatch = " is schema 4 but does not match it";
  struct Case {
    std::string bytes, message, cause_mentions;
  };
  const Case cases[] = {
      {R"({"state_schema": "4"})", no_schema, ""}, {R"({"state_schema": -1})", no_schema, ""},
      {R"({"state_schema": 4.5})", no_schema, ""}, {R"({"state_schema": null})", no_schema, ""},
      {"[]", no_schema, ""}, {"{}", no_schema, ""}, {"4", no_schema, ""},
      {sample + "x", not_json, ""}, {sample + "{}", not_json, ""}, {"", not_json, ""},
      {"{\"state_schema\":", not_json, ""}, {sample_with("written_paths", padded), not_json, ""},
      {sample_with("drift_state", ""), mismatch, "drift_state"},
      {sample_with("drift_state", "\"dirty\""), mismatch, "dirty"},
      {sample_with("written_paths", "\"skills\""), mismatch, "written_paths"},
      {sample_with("provider_id", ""), mismatch, "provider_id"},
      {sample_with("setup_version", "4"), mismatch, "setup_version"},
      {sample_with("protocol_version", "4294967296"), mismatch, "protocol_version"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 80));
    put(c.bytes);
    expect_error(read(), ErrorKind::state_unavailable, path() + c.message);
    if (c.message == no_schema) continue;
    EXPECT_TRUE(read().error().has_cause());
    const std::string cause = read().error().cause;
    EXPECT_NE(cause.find(c.cause_mentions), std::string::npos) << cause;
  }
}

TEST_F(StateFile, WritesCanonicalBytesThatReadBackUnchangedAndDropsUnknownMembers) {
  ASSERT_TRUE(write_state(dir_of(dir_.path()), sample_state()).ok());
  EXPECT_EQ(read_text(path()), kSampleBytes);
  EXPECT_FALSE(exists(dir_ / ".MIREL-VELK-PROVIDER.json.staging"));

  // Every optional set, and unusual text, survives a round trip.
  Json full = Json::parse(kSampleBytes);
  full.update(Json::parse(R"({"provider_release_digest":"sha256:r","setup_version":"1.2.0",
      "setup_version_passport_digest":"sha256:v","setup_definition_digest":"sha256:d",
      "component_refs":["skill:a","agent:\u00e9"],"bundle_format":"ai-stp-bundle/2",
      "bundle_digest":"sha256:bd","artifact_digest":"sha256:ad","drift_state":"unknown",
      "projection_profile_digest":"sha256:pp","provider_plan_digest":"sha256:plan",
      "previous_verified_identity":"sha256:prev","canonical_target":"/t/with \"quote\""})"));
  ASSERT_TRUE(write_state(dir_of(dir_.path()), read_ok(full.dump()).state).ok());
  EXPECT_EQ(read_text(path()), full.dump());

  std::string noted = kSampleBytes;
  noted.insert(1, R"("note":{"kept":false},)");
  ASSERT_TRUE(write_state(dir_of(dir_.path()), read_ok(noted).state).ok());
  EXPECT_EQ(read_text(path()), kSampleBytes);
}

TEST_F(StateFile, AFailedWriteKeepsThePreviousFileAndAnUnreadableOneIsReported) {
  put("previous");
  make_dirs(dir_ / ".MIREL-VELK-PROVIDER.json.staging/blocker");
  ASSERT_FALSE(write_state(dir_of(dir_.path()), sample_state()).ok());
  EXPECT_EQ(read_text(path()), "previous");

  ASSERT_EQ(::unlink(path().c_str()), 0);
  make_dirs(path());
  expect_error(read(), ErrorKind::state_unavailable, "cannot read " + path());
  EXPECT_TRUE(read().error().has_cause());
}

class Scope : public StateFile {
 protected:
  void record(std::vector<std::string> ownership, std::vector<std::string> written = {}) {
    ProviderState s = sample_state();
    s.native_ownership = std::move(ownership);
    s.written_paths = std::move(written);
    ASSERT_TRUE(write_state(dir_of(dir_.path()), s).ok());
  }
  std::string managed(std::optional<TargetScope> scope = TargetScope::user_root) const {
    auto paths = managed_paths(dir_of(dir_.path()), scope);
    return paths.ok() ? join(*paths, ",") : "refused: " + paths.error().message;
  }
};

TEST_F(Scope, UserRootManagesWhatTheStateFileRecordsAndRefusesAnOlderOne) {
  EXPECT_EQ(managed(), "");
  record({"skills"}, {"skills/z", "skills/a/SKILL.md"});
  EXPECT_EQ(managed(), "skills/z,skills/a/SKILL.md");
  put("not json");
  EXPECT_EQ(managed(), "refused: " + path() + " does not parse as JSON");
  // Other scopes do not read the state file at all.
  for (const auto scope : {std::optional<TargetScope>{}, std::optional{TargetScope::project}})
    EXPECT_EQ(managed(scope), join(declaration().owned_paths(), ","));

  put(R"({"state_schema":3})");
  const auto paths = managed_paths(dir_of(dir_.path()), TargetScope::user_root);
  expect_error(paths, ErrorKind::unsupported_operation,
               "an operation under target_scope user_root acts on the files this provider "
               "recorded writing, and " + dir_.path() +
                   " holds a state file written before this build recorded them. Refused rather "
                   "than widened to skills whole, which under this scope is a root several "
                   "products read. Reinstall to establish a record, or point --target at this "
                   "product's own configuration home.");
  EXPECT_FALSE(paths.error().has_cause());
}

std::optional<TargetScope> inferred_scope(const std::string& target) {
  ReportParts parts;
  parts.identity = parts.journal = parts.slots = false;
  return report_target(target, std::nullopt, parts)->scope;
}

TEST_F(Scope, InferredFromAnOwnershipOfSkillsAlone) {
  EXPECT_EQ(inferred_scope(dir_.path()), std::nullopt);
  record({"skills"});
  EXPECT_EQ(inferred_scope(dir_.path()), TargetScope::user_root);
  for (const auto& ownership : {std::vector<std::string>{"skills", "agents"}, {"Skills"}}) {
    record(ownership);
    EXPECT_EQ(inferred_scope(dir_.path()), std::nullopt);
  }
  for (const char* bytes : {R"({"state_schema":3,"native_ownership":["skills"]})", "garbage"}) {
    put(bytes);
    EXPECT_EQ(inferred_scope(dir_.path()), std::nullopt);
  }
}

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
