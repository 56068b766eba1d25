#include "core/json.h"
#include "store/report.h"
#include "store/state.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/text.h"
#include "product/declaration.h"
#include "support/temp_dir.h"

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

// The sample document with one member removed (empty `value`) or replaced
// by the given JSON text.
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
  void expect_failure(const std::string& message) {
    const Result<StateRead> r = read();
    ASSERT_FALSE(r.ok()) << message;
    EXPECT_EQ(r.error().kind, ErrorKind::state_unavailable);
    EXPECT_EQ(r.error().message, message);
  }
  TempDir dir_;
};

TEST_F(StateFile, RefusesAMissingOrMalformedSchemaNumber) {
  for (const std::string bytes :
       {R"({"state_schema": "4"})", R"({"state_schema": -1})", "[]", "{}",
        R"({"state_schema": 4.5})", R"({"state_schema": null})", "4"}) {
    put(bytes);
    SCOPED_TRACE(bytes.substr(0, 80));
    expect_failure(path() + " declares no state_schema");
  }
}

TEST_F(StateFile, ToleratesWhiteSpaceAroundTheDocumentAndMissingOptionals) {
  const StateRead spaced = read_ok(std::string(" \n") + kSampleBytes + "\n  ");
  EXPECT_TRUE(spaced.present());
  EXPECT_EQ(spaced.state, sample_state());
  EXPECT_FALSE(read_ok(sample_with("backup_ref", "")).state.backup_ref.has_value());
  EXPECT_EQ(read_ok(sample_with("drift_state", "\"local_drift\"")).state.drift_state,
            DriftState::local_drift);

  // More values than any record could hold (131,072) are not built.
  std::string padded = "[\"a\"";
  for (int i = 1; i < (1 << 17); ++i) padded += ",\"a\"";
  padded += "]";
  for (const std::string& bytes : {std::string(kSampleBytes) + "x", std::string(kSampleBytes) + "{}",
                                  std::string(), std::string("{\"state_schema\":"),
                                  sample_with("written_paths", padded)}) {
    put(bytes);
    SCOPED_TRACE(bytes.substr(0, 80));
    expect_failure(path() + " does not parse as JSON");
    EXPECT_TRUE(read().error().has_cause());
  }
}

TEST_F(StateFile, SchemaFourMustMatchTheRecord) {
  struct Case {
    std::string member, value, cause_mentions;
  };
  for (const Case& c : std::vector<Case>{{"drift_state", "", "drift_state"},
                                         {"drift_state", "\"dirty\"", "dirty"},
                                         {"written_paths", "\"skills\"", "written_paths"},
                                         {"provider_id", "", "provider_id"},
                                         {"setup_version", "4", "setup_version"},
                                         {"protocol_version", "4294967296", "protocol_version"}}) {
    SCOPED_TRACE(c.member + " " + c.value);
    put(sample_with(c.member, c.value));
    expect_failure(path() + " is schema 4 but does not match it");
    EXPECT_NE(read().error().cause.find(c.cause_mentions), std::string::npos) << read().error().cause;
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
  expect_failure("cannot read " + path());
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

TEST_F(Scope, UserRootManagesWhatTheStateFileRecordsTheOthersTheOwnedSurfaces) {
  EXPECT_EQ(managed(), "");
  record({"skills"}, {"skills/z", "skills/a/SKILL.md"});
  EXPECT_EQ(managed(), "skills/z,skills/a/SKILL.md");
  put("not json");
  EXPECT_EQ(managed(), "refused: " + path() + " does not parse as JSON");
  // Other scopes do not read the state file at all.
  for (const auto scope : {std::optional<TargetScope>{}, std::optional{TargetScope::project}})
    EXPECT_EQ(managed(scope), join(declaration().owned_paths(), ","));
}

TEST_F(Scope, UserRootRefusesAStateFileWithoutARecord) {
  put(R"({"state_schema":3})");
  const auto paths = managed_paths(dir_of(dir_.path()), TargetScope::user_root);
  ASSERT_FALSE(paths.ok());
  EXPECT_EQ(paths.error().kind, ErrorKind::unsupported_operation);
  EXPECT_EQ(paths.error().message,
            "an operation under target_scope user_root acts on the files this provider recorded "
            "writing, and " + dir_.path() +
                " holds a state file written before this build recorded them. Refused rather than "
                "widened to skills whole, which under this scope is a root several products read. "
                "Reinstall to establish a record, or point --target at this product's own "
                "configuration home.");
  EXPECT_FALSE(paths.error().has_cause());
}

// The scope a report infers when none is requested.
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

}  // namespace
}  // namespace velk
