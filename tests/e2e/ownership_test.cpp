// Planted records naming paths outside the target, and a shared user_root: nothing else changes.

#include "consumer.h"
#include "product/declaration.h"

namespace velk {
namespace {

using namespace velk::testing;

const std::string kStateName = "MIREL-VELK-PROVIDER.json";

// A well-formed schema-4 record with the given ownership and paths.
std::string planted_state(const std::vector<std::string>& native_ownership,
                          const std::vector<std::string>& written_paths) {
  ProviderState s;
  s.provider_id = "velk-setup-system";
  s.provider_version = "0.0.63";
  s.provider_build_digest = "sha256:" + std::string(64, 'b');
  s.harness_id = "velk-build";
  s.canonical_target = "/planted";
  s.target_identity_digest = "sha256:" + std::string(64, 'c');
  s.operation_id = "operation_planted";
  s.target_precondition_digest = "sha256:" + std::string(64, 'd');
  s.native_ownership = native_ownership;
  s.written_paths = written_paths;
  return encode_state(s).value();
}

// A directory beside the target that nothing may touch.
struct Victim {
  TempDir root;
  std::string target = root / "t";
  std::string ssh = root / "home/.ssh";
  Victim() {
    write_text(ssh + "/id_ed25519", "private key\n", 0600);
    make_dirs(target);
  }
  void expect_whole() const {
    EXPECT_EQ(read_text(ssh + "/id_ed25519"), "private key\n");
    EXPECT_EQ(tree_entries(root / "home"), (Words{"/.ssh", "/.ssh/id_ed25519"}));
  }
};

std::string record_refusal(const std::string& record, const std::string& path,
                           const std::string& field, const std::string& why) {
  return record + " records \"" + path + "\" in " + field + ", which " + why +
         "; the record is refused and nothing it names is acted on";
}

TEST(PlantedRecords, AStateFileNamingPathsOutsideTheScopeIsRefusedByEveryCommand) {
  const std::vector<std::string> skills = {"skills"};
  const std::vector<std::string> owned = declaration().owned_paths();
  const std::string outside =
      "lies outside skills, below which velk-setup-system writes under target_scope user_root";
  struct Case {
    std::vector<std::string> ownership;
    std::string path;
    std::string why;
  };
  Victim v;
  const std::string state = v.target + "/" + kStateName;
  const std::vector<Case> cases = {
      {skills, "../home/.ssh", "climbs out of the target"},
      {skills, "skills/../../home/.ssh", "climbs out of the target"},
      {skills, v.ssh, "is not relative"},
      {skills, "skills", outside},
      {skills, "agents/a.md", outside},
      {owned, "../home/.ssh", "climbs out of the target"},
      {owned, "plugins/Known_Marketplaces.json",
       "meets \"plugins/known_marketplaces.json\", which belongs to the product and which "
       "velk-setup-system never touches"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    write_text(state, planted_state(c.ownership, {"skills/a/SKILL.md", c.path}));
    write_text(v.target + "/skills/a/SKILL.md", "a\n");
    const Words before = tree_entries(v.target);
    const std::string message = record_refusal(state, c.path, "written_paths", c.why);
    for (const Words& command : {Words{"remove", "--target", v.target},
                                 Words{"restore", "--target", v.target},
                                 Words{"install", "minimal", "--target", v.target}})
      expect_failure(run_velk(command), message);
    // status prints the target and its identity before it reads the record.
    const RunResult status = run_velk({"status", "--target", v.target});
    EXPECT_EQ(status.exit_code, 1);
    EXPECT_EQ(status.err, "velk-setup-system: " + message + "\n");
    EXPECT_EQ(refusal_of(plan_request(v.target, "remove")), "provider_unavailable: " + message);
    EXPECT_EQ(tree_entries(v.target), before);
    v.expect_whole();
  }
}

// A user_root target interrupted after its journal; each test plants a record.
struct Interrupted {
  Victim v;
  Consumer c;
  std::string slot;

  Interrupted() {
    // A real change, then a journal of a second one under way at a crash.
    const Json done = install_user_root(
        v.target, c.bundle({{"skills/a/SKILL.md", {"a\n"}}}, TargetScope::user_root), c.next("p"));
    EXPECT_EQ(done.value("state", ""), "verified") << done.dump();
    slot = v.target + "/.velk-setup-system/backups/slot-000000000001";
    EXPECT_TRUE(
        publish_prepared(v.target, "x", "install", "slot-000000000001", TargetScope::user_root));
  }

  void expect_recovery_refused(const std::string& message) {
    const Words before = tree_entries(v.target);
    const std::string bytes = read_text(v.target + "/skills/a/SKILL.md");
    EXPECT_EQ(refusal_of(provider_json({"recover-operation", "--target", v.target, "--json"})),
              "provider_unavailable: " + message);
    EXPECT_EQ(tree_entries(v.target), before);
    EXPECT_EQ(read_text(v.target + "/skills/a/SKILL.md"), bytes);
    v.expect_whole();
  }
};

TEST(PlantedRecords, RecoveryChecksTheRecordsItReadsBeforeActingOnThem) {
  const std::vector<std::function<std::string(Interrupted&)>> plants = {
      [](Interrupted& i) {
        write_text(i.slot + "/planned-writes.json", R"(["skills/b/SKILL.md","../home/.ssh"])");
        return record_refusal(i.slot + "/planned-writes.json", "../home/.ssh",
                              "its planned writes", "climbs out of the target");
      },
      [](Interrupted& i) {
        write_text(i.slot + "/planned-writes.json", R"({"not":"a list"})");
        return i.slot + "/planned-writes.json is not a list of paths";
      },
      [](Interrupted& i) {
        EXPECT_EQ(::unlink((i.slot + "/previous-state.absent").c_str()), 0);
        write_text(i.slot + "/previous-state.json", planted_state({"skills"}, {"../home/.ssh"}));
        return record_refusal(i.slot + "/previous-state.json", "../home/.ssh",
                              "written_paths", "climbs out of the target");
      },
      [](Interrupted& i) {
        const std::string state = i.v.target + "/" + kStateName;
        write_text(state, planted_state({"skills"}, {"skills/a/SKILL.md", "/etc/passwd"}));
        return record_refusal(state, "/etc/passwd", "written_paths", "is not relative");
      },
  };
  for (const auto& plant : plants) {
    Interrupted i;
    i.expect_recovery_refused(plant(i));
  }
}

TEST(PlantedRecords, ASlotRecordNamingAnotherSlotIsRefusedWhereSlotsAreListed) {
  Interrupted i;
  ASSERT_EQ(::unlink((i.v.target + "/.velk-setup-system/journal.json").c_str()), 0);
  Json record = Json::parse(read_text(i.slot + "/slot.json"));
  record["backup_ref"] = "slot-000000000009\u001b[2J";
  write_text(i.slot + "/slot.json", canonical_json(record).value());
  const std::string message =
      i.slot + "/slot.json names \"slot-000000000009\\u{1b}[2J\", not the slot it is kept in";
  expect_failure(run_velk({"backups", "--target", i.v.target}), message);
  expect_failure(run_velk({"restore", "--target", i.v.target}), message);
  i.v.expect_whole();
}

// Slot 2 holds the first install, slot 1 the user's own file; other products' edits stay.
TEST(UserRootShared, ARestorePutsBackWhatItsSlotHeldAndKeepsOtherProductsChanges) {
  Consumer c;
  write_text(c.t / "skills/review/SKILL.md", "the user's own review skill\n");
  write_text(c.t / "skills/other/tool.md", "another product\n");
  const Json first = c.install_user_root({{"skills/review/SKILL.md", {"ours\n"}}});
  ASSERT_EQ(first.value("state", ""), "verified") << first.dump();
  const Json second = c.install_user_root({{"skills/b/SKILL.md", {"b\n"}}});
  ASSERT_EQ(second.value("state", ""), "verified");
  ASSERT_EQ(c.install_user_root({{"skills/c/deep/SKILL.md", {"c\n"}}}).value("state", ""),
            "verified");
  EXPECT_EQ(tree_entries(c.t / "skills"),
            (Words{"/c", "/c/deep", "/c/deep/SKILL.md", "/other", "/other/tool.md"}));
  write_text(c.t / "skills/other/tool.md", "another product, edited\n");
  write_text(c.t / "skills/other/added.md", "added later\n");
  const auto restore = [&](const Json& install) {
    const Json restored = c.run("restore", {"--backup-ref", install.value("backup_ref", ""),
                                            "--target-scope", "user_root"});
    ASSERT_EQ(restored.value("state", ""), "verified") << restored.dump();
    EXPECT_EQ(read_text(c.t / "skills/other/tool.md"), "another product, edited\n");
    EXPECT_EQ(read_text(c.t / "skills/other/added.md"), "added later\n");
  };

  restore(second);
  EXPECT_EQ(tree_entries(c.t / "skills"), (Words{"/other", "/other/added.md", "/other/tool.md",
                                                 "/review", "/review/SKILL.md"}));
  EXPECT_EQ(read_text(c.t / "skills/review/SKILL.md"), "ours\n");
  // The record names what the restore put back, and the target is clean.
  const auto state = read_state(dir_of(c.t.path()));
  ASSERT_TRUE(state.ok() && state->present());
  EXPECT_EQ(state->state.written_paths, Words{"skills/review/SKILL.md"});
  EXPECT_EQ(provider_json({"status", "--target", c.t.path(), "--json"}).value("drift_state", ""),
            "clean");

  restore(first);
  EXPECT_EQ(read_text(c.t / "skills/review/SKILL.md"), "the user's own review skill\n");
}

TEST(UserRootShared, AnInstallThatFailsOnAnotherProductsDirectoryRecoversWithoutTouchingIt) {
  Consumer c;
  write_text(c.t / "skills/other/tool.md", "another product\n");
  // Declared a file where the other product keeps a directory: fails after the journal.
  const Json failed = c.install_user_root(
      {{"skills/aaa/SKILL.md", {"written first\n"}}, {"skills/other", {"a file\n"}}});
  ASSERT_EQ(failed.value("state", ""), "refused") << failed.dump();
  EXPECT_TRUE(exists(c.t / ".velk-setup-system/journal.json"));

  const Json recovered = provider_json({"recover-operation", "--target", c.t.path(), "--json"});
  EXPECT_EQ(recovered.value("restored_from", ""), "slot-000000000001") << recovered.dump();
  EXPECT_EQ(tree_entries(c.t / "skills"), (Words{"/other", "/other/tool.md"}));
  EXPECT_EQ(read_text(c.t / "skills/other/tool.md"), "another product\n");
  EXPECT_FALSE(exists(c.t / ".velk-setup-system/journal.json"));
}

}  // namespace
}  // namespace velk
