// adopt through the binary: stamp refusals, the report, the adopted target.

#include "consumer.h"
#include "product/catalog.h"

namespace velk {
namespace {

using namespace velk::testing;

const std::string kStamp = "MIREL-VELK-BUILD-SETUP.json";
const std::string kFourteen(14, ' ');

class AdoptTest : public ::testing::Test {
 protected:
  AdoptTest() {
    write_text(dir_ / "AGENTS.md", "# rules\n");
    write_text(dir_ / "skills/review/SKILL.md", "review\n");
    write_text(dir_ / "auth.json", "{\"token\":\"secret\"}");
    stamp_ = {{"schema_version", 1},         {"product_name", "mirel-velk-setup"},
              {"build_version", "1.8.2"},    {"setup_id", "minimal"},
              {"canonical_target", target()}, {"managed_files", Json::object()}};
    // Claimed out of order: the record lists them sorted.
    claim("skills/review/SKILL.md");
    claim("AGENTS.md");
  }

  std::string target() const { return dir_.path(); }
  std::string stamp_path() const { return dir_ / kStamp; }
  void claim(const std::string& path) {
    stamp_["managed_files"][path] = digest_bytes(read_text(dir_ / path));
  }
  void write_stamp() const { write_text(stamp_path(), compact_json(stamp_)); }
  RunResult adopt() const { return run_velk({"adopt", "--target", target()}); }
  void expect_refused(const std::string& message) const {
    const auto before = snapshot(target());
    expect_failure(adopt(), message);
    EXPECT_EQ(snapshot(target()), before);
  }
  std::string kept() const { return target() + "/.velk-setup-system/adopted/" + kStamp; }

  TempDir dir_;
  Json stamp_;
};

TEST_F(AdoptTest, RefusesAStampItCannotReadOrAClaimOutsideWhatThisProviderOwns) {
  expect_refused(target() + " holds no " + kStamp + "; there is nothing to adopt");

  stamp_["schema_version"] = 2;
  write_stamp();
  expect_refused(stamp_path() + " is schema 2, and this build reads 1; adopting a record it "
                                "cannot read would be claiming files it did not check");

  stamp_["schema_version"] = 1;
  stamp_.erase("setup_id");
  write_stamp();
  expect_refused(stamp_path() +
                 " is not a stamp this build understands: missing field `setup_id`");

  std::filesystem::remove(stamp_path());
  std::filesystem::create_symlink(dir_ / "elsewhere.json", stamp_path());
  expect_refused(stamp_path() +
                 " cannot be read: it is a symbolic link, which this build does not follow "
                 "inside a target");
  std::filesystem::remove(stamp_path());
  stamp_["setup_id"] = "minimal";

  // auth.json is the product's credential; the others reach one through an owned directory.
  for (const std::string path :
       {"auth.json", "skills/../auth.json", "plugins/known_marketplaces.json"}) {
    stamp_["managed_files"] = Json::object();
    claim("AGENTS.md");
    stamp_["managed_files"][path] = digest_bytes("");
    write_stamp();
    expect_refused(kStamp + " claims \"" + path +
                   "\", which velk-setup-system does not own; adopting it would record "
                   "ownership of files no" + kFourteen +
                   "later operation of this provider would write, restore or remove");
  }
}

TEST_F(AdoptTest, AdoptsWithoutRewritingAndRecordsTheSetup) {
  write_stamp();
  const std::string agents = read_text(dir_ / "AGENTS.md");
  expect_output(adopt(), "mirel-velk-setup wrote " + kStamp +
                            " for setup \"minimal\", build 1.8.2.\n\nvelk-setup-system now owns " +
                            target() + ".\n  previous state captured as slot-000000000001\n"
                            "  the old stamp is kept at " + kept() + "\n");
  EXPECT_FALSE(exists(stamp_path()));
  EXPECT_EQ(read_text(kept()), compact_json(stamp_));
  EXPECT_EQ(read_text(dir_ / "AGENTS.md"), agents);
  EXPECT_EQ(read_text(dir_ / ".velk-setup-system/backups/slot-000000000001/payload/AGENTS.md"),
            agents);

  auto state = read_state(dir_of(target()));
  ASSERT_TRUE(state.ok() && state->present());
  EXPECT_EQ(state->state.setup_stable_id, "minimal");
  EXPECT_EQ(state->state.written_paths, (Words{"AGENTS.md", "skills/review/SKILL.md"}));
  auto setups = read_setups(open_catalog().value());
  ASSERT_TRUE(setups.ok());
  EXPECT_EQ(state->state.setup_definition_digest,
            find_setup(*setups, "minimal").value().definition_digest);

  const RunResult status = run_velk({"status", "--target", target()});
  EXPECT_NE(status.out.find("\nSetup    minimal\n"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("\nDrift    none\n"), std::string::npos) << status.out;

  write_stamp();
  write_text(kept(), "the first one");
  expect_failure(adopt(),
                 kept() + " already keeps a stamp adopted earlier; move it away before adopting "
                          "again. No effect was made",
                 "mirel-velk-setup wrote " + kStamp + " for setup \"minimal\", build 1.8.2.\n");
  EXPECT_EQ(read_text(kept()), "the first one");
  EXPECT_TRUE(exists(stamp_path()));
  EXPECT_FALSE(exists(dir_ / ".velk-setup-system/backups/slot-000000000002"));
}

// Killed after the stamp moved, before the record: recovery puts the stamp back.
TEST_F(AdoptTest, RecoveryOfAnUnfinishedAdoptionPutsTheStampBack) {
  write_stamp();
  const auto before = tree_entries(target());
  ASSERT_EQ(adopt().exit_code, 0);
  // What the kill leaves: the stamp kept, no record, a prepared journal.
  ASSERT_EQ(::unlink((dir_ / "MIREL-VELK-PROVIDER.json").c_str()), 0);
  ASSERT_TRUE(publish_prepared(target(), "op-adopt", "adopt", "slot-000000000001"));

  const Json recovered = provider_json({"recover-operation", "--target", target(), "--json"});
  EXPECT_EQ(recovered.value("restored_from", ""), "slot-000000000001") << recovered.dump();
  EXPECT_EQ(read_text(stamp_path()), compact_json(stamp_));
  EXPECT_FALSE(exists(kept()));
  Words after;
  for (const std::string& entry : tree_entries(target()))
    if (entry.rfind("/.velk-setup-system", 0) != 0) after.push_back(entry);
  EXPECT_EQ(after, before);

  EXPECT_EQ(adopt().exit_code, 0);
  EXPECT_EQ(read_text(kept()), compact_json(stamp_));
}

TEST_F(AdoptTest, ReportsAnotherPathAndChangedFilesAndKeepsUnknownSetups) {
  stamp_["canonical_target"] = "/home/old/.velk";
  stamp_["setup_id"] = "retired\tsetup";
  write_text(dir_ / "config.toml", "a = 1\n");
  claim("config.toml");
  write_text(dir_ / "config.toml", "a = 2\n");               // edited since
  stamp_["managed_files"]["hooks/gone.sh"] = digest_bytes("");  // absent
  make_dirs(dir_ / "agents/dir");
  stamp_["managed_files"]["agents/dir"] = digest_bytes("");     // not a file
  write_stamp();
  expect_output(
      adopt(),
      "mirel-velk-setup wrote " + kStamp + " for setup \"retired\\tsetup\", build 1.8.2.\n"
      "This stamp was written for \"/home/old/.velk\", and is being adopted at " + target() +
      ".\n  every path it claims is checked against this target, not that one\n"
      "  3 of 5 are not what the stamp recorded; they are adopted as they are, and" +
      kFourteen + "the backup below holds them\n\nvelk-setup-system now owns " + target() +
      ".\n  previous state captured as slot-000000000001\n  the old stamp is kept at " + kept() +
      "\n");
  EXPECT_EQ(read_text(dir_ / "config.toml"), "a = 2\n");

  // A setup this build does not ship is still recorded, without a digest.
  auto state = read_state(dir_of(target()));
  ASSERT_TRUE(state.ok() && state->present());
  EXPECT_EQ(state->state.setup_stable_id, "retired\tsetup");
  EXPECT_EQ(state->state.setup_definition_digest, std::nullopt);
}

TEST_F(AdoptTest, RefusesATargetManagedUnderUserRootAndChangesNothing) {
  TempDir side;
  const BundleClaim claim = write_bundle(
      side / "b.zip", make_bundle({{"skills/ours/SKILL.md", {"ours\n"}}}, TargetScope::user_root));
  ASSERT_EQ(install_user_root(target(), claim, side / "plan").value("state", ""), "verified");
  write_stamp();
  expect_refused(target() +
                     " is managed under target_scope user_root, where velk-setup-system answers "
                     "only for the files it recorded writing; adopting would record it under the "
                     "global scope, and a later remove would take AGENTS.md, config.toml, "
                     "sandbox.toml, skills, agents, plugins, hooks, workflows, rules, commands, "
                     "personas, roles whole, other products' files among them. No effect was made");
}

}  // namespace
}  // namespace velk
