// The reporting commands through the real binary.

#include "consumer.h"

namespace velk {
namespace {

using namespace velk::testing;

// A program copy that finds only the built-in catalog; its TMPDIR is empty after each run.
class Sandbox {
 public:
  Sandbox() {
    for (const char* dir : {"bin", "work", "tmp", "target"}) make_dirs(temp_ / dir);
    write_text(temp_ / "not-a-catalog", "");
    std::filesystem::copy_file(VELK_BINARY_PATH, temp_ / "bin/velk-setup-system");
    ::chmod((temp_ / "bin/velk-setup-system").c_str(), 0755);
  }

  std::string target() const { return temp_ / "target"; }
  std::string path(std::string_view relative) const { return temp_ / relative; }

  RunResult run(const Words& args, const std::string& catalog = "") const {
    RunOptions options;
    options.cwd = temp_ / "work";
    options.set_env = {{"TMPDIR", temp_ / "tmp"},
                       {"VELK_SETUP_SYSTEM_SETUP_CATALOG",
                        catalog.empty() ? temp_ / "not-a-catalog" : catalog}};
    RunResult result = run_program(temp_ / "bin/velk-setup-system", args, options);
    auto left = list_directory(temp_ / "tmp");
    EXPECT_TRUE(left.ok() && left->empty()) << "temporary directory not removed";
    return result;
  }

 private:
  TempDir temp_;
};

void record_install(const std::string& target, std::optional<std::string> setup,
                    const std::string& operation_id, Files files = {}) {
  PerformHooks hooks;
  hooks.effects = write_files_effect(std::move(files), std::move(setup));
  auto done = perform(target, plan_now(target, operation_id), hooks);
  ASSERT_TRUE(done.ok()) << done.error().full();
}

TEST(ListCommand, ShowsEachSetupOfTheBuiltInOrANamedCatalog) {
  Sandbox box;
  const RunResult r = box.run({"list"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* id : {"\n  baseline\n", "\n  minimal\n", "\n  mirel-builder\n"})
    EXPECT_NE(r.out.find(id), std::string::npos) << id;
  EXPECT_NE(r.out.find(
                "\n  full-auto\n"
                "      Full autonomy for trusted, disposable workspaces: nothing is asked,\n"
                "      nothing is sandboxed, and every capability the product offers is\n"
                "      switched on explicitly in the configuration rather than left to a\n"
                "      default, so that what the agent may do is written down in one file. Use\n"
                "      it only where a mistake costs nothing you cannot restore.\n"
                "      2 files, definition sha256:"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("      15 files, definition sha256:"), std::string::npos);

  // Named catalogs list setups in directory order; an unknown id names them in it.
  make_dirs(box.path("empty"));
  expect_output(box.run({"list"}, box.path("empty")),
                "velk-setup-system: no setups in the catalog.\n");
  const std::string own = box.path("own");
  for (const char* id : {"delta", "alpha", "echo", "charlie", "bravo", "foxtrot"}) {
    write_text(own + "/" + id + "/setup.json",
               std::string(R"({"schema_version": 1, "id": ")") + id + R"(", "description": "d"})");
    write_text(own + "/" + id + "/home/AGENTS.md", id);
  }
  std::string expected = "Setups for Velk Build (Orlix):\n\n", ids;
  const Words listed = list_directory(own).value();  // in the order the catalog reads them
  for (const std::string& id : listed) {
    expected += "  " + id + "\n      d\n      1 files, definition " +
                digest_tree(own + "/" + id + "/home")->substr(0, 19) + "\n";
    ids += (ids.empty() ? "" : ", ") + id;
  }
  expect_output(box.run({"list"}, own),
                expected + "\nInstall one with:  install <id> --target <absolute-directory>\n");
  expect_failure(box.run({"install", "absent", "--target", box.target()}, own),
                 "\"absent\" is not a setup; this build ships " + ids);
}

// The good setup beside it notwithstanding; a FIFO fails at once.
TEST(ListCommand, ASetupThatCannotBeReadFailsTheWholeCatalog) {
  Sandbox box;
  const std::string own = box.path("own");
  const std::string t = box.target();
  write_text(own + "/only/setup.json",
             R"({"schema_version": 1, "id": "only", "description": "Just one."})");
  write_text(own + "/only/home/AGENTS.md", "x");
  ASSERT_EQ(box.run({"install", "only", "--target", t}, own).exit_code, 0);
  const auto before = snapshot(t);

  enum class Home { tree, none, fifo };
  struct Case {
    std::string manifest;
    Home home;
    std::string message;  // after the catalog's path
  };
  const std::vector<Case> cases = {
      {R"({"schema_version": 1, "id": "right", "description": "d"})", Home::tree,
       "/bad/setup.json declares id right but sits in bad"},
      {R"({"schema_version": 2, "id": "bad", "description": "d"})", Home::tree,
       "/bad/setup.json is schema 2 and this build writes 1"},
      {R"({"schema_version": 1, "id": "bad"})", Home::tree,
       "/bad/setup.json does not parse: missing field `description`"},
      {R"({"schema_version": 1, "id": "bad", "description": "d"})", Home::none,
       "/bad has no home tree"},
      {"{", Home::tree,
       "/bad/setup.json does not parse: parse error at line 1, column 2: syntax error while "
       "parsing object key - unexpected end of input; expected string literal"},
      {R"({"schema_version": 1, "id": "bad", "description": "d"})", Home::fifo,
       "cannot open " + own + "/bad/home/skills/AGENTS.md: not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::filesystem::remove_all(own + "/bad");
    write_text(own + "/bad/setup.json", c.manifest);
    if (c.home != Home::none) make_dirs(own + "/bad/home/skills");
    if (c.home == Home::fifo) {
      ASSERT_EQ(::mkfifo((own + "/bad/home/skills/AGENTS.md").c_str(), 0644), 0);
    }
    const std::string message = c.home == Home::fifo ? c.message : own + c.message;
    for (const Words& args : {Words{"list"}, Words{"install", "only", "--target", t},
                              Words{"select", "only", "--target", t},
                              Words{"reinstall", "--target", t}})
      expect_failure(box.run(args, own), message);
    EXPECT_EQ(snapshot(t), before);
  }
}

TEST(StatusCommand, RecordsNoneWithoutASetupInAnotherSchemaOrUnreadable) {
  Sandbox box;
  const std::string t = box.target();
  const std::string empty = "Target   " + t + "\nIdentity sha256:e3b0c44298fc\n";
  expect_output(box.run({"status", "--target", t}),
                empty + "Setup    none applied by velk-setup-system\nBackups  0\n");
  expect_output(box.run({"backups", "--target", t}),
                "No backups. One is captured before every change.\n");
  EXPECT_TRUE(tree_entries(t).empty());

  record_install(t, std::nullopt, "op-2");
  expect_output(box.run({"status", "--target", t}),
                empty + "Setup    none \u2014 the last operation named no setup\n"
                       "Applied  operation op-2\nDrift    none\nBackups  1\n");

  write_text(t + "/MIREL-VELK-PROVIDER.json", R"({"state_schema": 3})");
  const Words before = tree_entries(t);
  expect_output(box.run({"status", "--target", t}),
                empty + "Setup    recorded in schema 3, which this build does not write\n"
                       "         reported as found; nothing was migrated\nBackups  1\n");
  expect_output(box.run({"diff", "--target", t}),
                "Nothing to compare: velk-setup-system has applied no setup here.\n");
  EXPECT_EQ(tree_entries(t), before);
  EXPECT_EQ(read_text(t + "/MIREL-VELK-PROVIDER.json"), R"({"state_schema": 3})");

  // Unreadable: the failure comes after the target lines.
  write_text(t + "/MIREL-VELK-PROVIDER.json", R"({"state_schema": "4"})");
  expect_failure(box.run({"status", "--target", t}),
                 t + "/MIREL-VELK-PROVIDER.json declares no state_schema", empty);
}

// The guide shows a whole report; a dangling link is something at its path.
TEST(DiffCommand, ChangedTargetListsTheOwnedSurfaces) {
  Sandbox box;
  const std::string t = box.target();
  record_install(t, "full-auto", "op-3", {{"AGENTS.md", "# rules\n"},
                                          {"config.toml", "[session]\nload_envrc = false\n"},
                                          {"skills/x/SKILL.md", "skill\n"}});
  expect_output(box.run({"diff", "--target", t}), "The target matches the setup recorded in it.\n");
  ASSERT_EQ(::unlink((t + "/AGENTS.md").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (t + "/hooks").c_str()), 0);
  const std::string changed = box.run({"diff", "--target", t}).out;
  EXPECT_TRUE(changed.starts_with("The target has changed since full-auto was applied.\n"));
  EXPECT_NE(changed.find("\n  observed " + identity_now(t).substr(0, 19) + "\n\n"),
            std::string::npos) << changed;
  for (const char* line : {"\n  absent   AGENTS.md\n", "\n  present  config.toml\n",
                           "\n  present  skills\n", "\n  present  hooks\n", "\n  absent   agents\n"})
    EXPECT_NE(changed.find(line), std::string::npos) << line << changed;

  ASSERT_EQ(::unlink((t + "/hooks").c_str()), 0);
  record_install(t, std::nullopt, "op-4");
  write_text(t + "/config.toml", "changed");
  EXPECT_TRUE(box.run({"diff", "--target", t})
                  .out.starts_with("The target has changed since the recorded setup was applied.\n"));
}

TEST(BackupsCommand, ListsCompleteSlotsNewestFirstWithTheirMarks) {
  Sandbox box;
  const std::string t = box.target();
  record_install(t, "minimal", "op-1");
  record_install(t, "baseline", "op-2");
  record_install(t, std::nullopt, "op-3");
  const std::string pool = t + "/.velk-setup-system/backups";
  write_text(pool + "/slot-000000000002/HELD", "");
  make_dirs(pool + "/slot-000000000004/payload");  // incomplete: not listed
  const auto before = tree_entries(t);

  const std::string list =
      "Backups of " + t + ", newest first:\n\n  slot-000000000003  (restored by default)";
  const std::string rest =
      "\n      before install, setup baseline\n"
      "  slot-000000000002  (held: no reason recorded)\n"
      "      before install, setup minimal\n"
      "  slot-000000000001\n"
      "      before install, setup none\n"
      "\nRestore a specific one with:  restore --backup <ref> --target <dir>\n";
  expect_output(box.run({"backups", "--target", t}), list + rest);
  EXPECT_TRUE(box.run({"status", "--target", t}).out.ends_with("\nBackups  3\n"));

  // A held newest slot carries both marks, its reason trimmed.
  write_text(pool + "/slot-000000000003/HELD", "  keep for the demo \n");
  expect_output(box.run({"backups", "--target", t}), list + "  (held: keep for the demo)" + rest);
  EXPECT_EQ(tree_entries(t).size(), before.size() + 1);
}

}  // namespace
}  // namespace velk
