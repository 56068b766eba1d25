// The reporting commands through the real binary: exact output, nothing
// created in the target, nothing left in the temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/digest.h"
#include "core/fs.h"
#include "product/declaration.h"
#include "store/store.h"
#include "support/runner.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::exists;
using testing::make_dirs;
using testing::read_text;
using testing::RunOptions;
using testing::RunResult;
using testing::run_program;
using testing::TempDir;
using testing::write_text;
using Words = std::vector<std::string>;

const char kEmptyIdentity[] = "sha256:e3b0c44298fc";

// A run of the program from a copy of it that sits where no ancestor holds
// a catalog, in a working directory without one, with its own TMPDIR and
// the override variable naming a file, so that only the built-in catalog
// can be found. The temporary directory must be empty again after each run.
class Sandbox {
 public:
  Sandbox() {
    make_dirs(temp_ / "bin");
    make_dirs(temp_ / "work");
    make_dirs(temp_ / "tmp");
    make_dirs(temp_ / "target");
    write_text(temp_ / "not-a-catalog", "");
    std::filesystem::copy_file(VELK_BINARY_PATH, program());
    ::chmod(program().c_str(), 0755);
  }

  std::string program() const { return temp_ / "bin/velk-setup-system"; }
  std::string target() const { return temp_ / "target"; }
  std::string path(std::string_view relative) const { return temp_ / relative; }

  RunResult run(const Words& args, const std::string& catalog = "") const {
    RunOptions options;
    options.cwd = temp_ / "work";
    options.set_env = {{"TMPDIR", temp_ / "tmp"},
                       {"VELK_SETUP_SYSTEM_SETUP_CATALOG",
                        catalog.empty() ? temp_ / "not-a-catalog" : catalog}};
    RunResult result = run_program(program(), args, options);
    auto left = list_directory(temp_ / "tmp");
    EXPECT_TRUE(left.ok() && left->empty()) << "temporary directory not removed";
    return result;
  }

 private:
  TempDir temp_;
};

// Lists the entries of a directory tree below `dir`, for "nothing was
// created" checks.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    out.push_back(e.path().string().substr(dir.size()));
  std::sort(out.begin(), out.end());
  return out;
}

std::string identity_of(const std::string& target) {
  auto identity = target_identity(target, declaration().owned_paths());
  EXPECT_TRUE(identity.ok());
  return identity.ok() ? *identity : "";
}

// The state file an install of `setup` would leave: the identity is the
// one measured now.
void record_install(const std::string& target, std::optional<std::string> setup,
                    const std::string& operation_id) {
  ProviderState state;
  state.provider_id = "velk-setup-system";
  state.provider_version = "0.0.63";
  state.provider_build_digest = "sha256:" + std::string(64, '1');
  state.harness_id = "velk-build";
  state.canonical_target = target;
  state.target_identity_digest = identity_of(target);
  state.setup_stable_id = std::move(setup);
  state.operation_id = operation_id;
  state.target_precondition_digest = "sha256:" + std::string(64, '2');
  state.native_ownership = declaration().owned_paths();
  state.written_paths = {"AGENTS.md", "config.toml"};
  state.backup_ref = "slot-000000000001";
  ASSERT_TRUE(write_state(target, state).ok());
}

void install_files(const std::string& target) {
  write_text(target + "/AGENTS.md", "# rules\n");
  write_text(target + "/config.toml", "[session]\nload_envrc = false\n");
  write_text(target + "/skills/x/SKILL.md", "skill\n");
}

void expect_output(const RunResult& r, const std::string& out) {
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, out);
}

void expect_failure(const RunResult& r, const std::string& out, const std::string& message) {
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, "velk-setup-system: " + message + "\n");
}

TEST(ListCommand, BuiltInCatalogShowsTheFourSetupsWrapped) {
  Sandbox box;
  const RunResult r = box.run({"list"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string head = "Setups for Velk Build (Orlix):\n\n";
  const std::string tail = "\nInstall one with:  install <id> --target <absolute-directory>\n";
  ASSERT_EQ(r.out.substr(0, head.size()), head);
  ASSERT_GE(r.out.size(), head.size() + tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);

  // Every line of a setup block is either its id or indented by six spaces,
  // at most 72 characters after the indent.
  const std::string body = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
  std::vector<std::string> ids;
  std::size_t start = 0;
  while (start < body.size()) {
    const std::size_t end = body.find('\n', start);
    const std::string line = body.substr(start, end - start);
    start = end + 1;
    if (line.rfind("      ", 0) == 0) {
      EXPECT_LE(line.size() - 6, 72u) << line;
    } else {
      ASSERT_EQ(line.substr(0, 2), "  ") << line;
      ids.push_back(line.substr(2));
    }
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (Words{"baseline", "full-auto", "minimal", "mirel-builder"}));

  const std::string full_auto =
      "  full-auto\n"
      "      Full autonomy for trusted, disposable workspaces: nothing is asked,\n"
      "      nothing is sandboxed, and every capability the product offers is\n"
      "      switched on explicitly in the configuration rather than left to a\n"
      "      default, so that what the agent may do is written down in one file. Use\n"
      "      it only where a mistake costs nothing you cannot restore.\n"
      "      2 files, definition sha256:";
  EXPECT_NE(body.find(full_auto), std::string::npos) << body;
  const std::string minimal =
      "  minimal\n"
      "      Instructions only; the product keeps its own defaults.\n"
      "      1 files, definition sha256:";
  const std::size_t at = body.find(minimal);
  ASSERT_NE(at, std::string::npos) << body;
  // The short digest: 12 hex digits, then the end of the line.
  EXPECT_EQ(body.find('\n', at + minimal.size()), at + minimal.size() + 12);
  EXPECT_NE(body.find("      15 files, definition sha256:"), std::string::npos);
}

TEST(ListCommand, CatalogsNamedByTheOverrideVariable) {
  Sandbox box;
  make_dirs(box.path("empty"));
  expect_output(box.run({"list"}, box.path("empty")), "velk-setup-system: no setups in the catalog.\n");

  const std::string own = box.path("own");
  write_text(own + "/only/setup.json",
             R"({"schema_version": 1, "id": "only", "description": "Just one."})");
  write_text(own + "/only/home/AGENTS.md", "x");
  const std::string definition = *digest_tree(own + "/only/home");
  expect_output(box.run({"list"}, own),
                "Setups for Velk Build (Orlix):\n\n"
                "  only\n"
                "      Just one.\n"
                "      1 files, definition " + definition.substr(0, 19) + "\n"
                "\nInstall one with:  install <id> --target <absolute-directory>\n");

  write_text(own + "/wrong/setup.json",
             R"({"schema_version": 1, "id": "right", "description": "d"})");
  make_dirs(own + "/wrong/home");
  expect_failure(box.run({"list"}, own), "",
                 own + "/wrong/setup.json declares id right but sits in wrong");
}

TEST(ListCommand, CatalogThatCannotBeWrittenOutFails) {
  Sandbox box;
  RunOptions options;
  options.cwd = box.path("work");
  options.set_env = {{"TMPDIR", box.path("not-a-catalog")},
                     {"VELK_SETUP_SYSTEM_SETUP_CATALOG", box.path("missing")}};
  const RunResult r = run_program(box.program(), {"list"}, options);
  expect_failure(r, "",
                 "no setup catalog was found; point VELK_SETUP_SYSTEM_SETUP_CATALOG at one, or "
                 "run from a tree that ships setups/");
}

TEST(StatusCommand, EmptyTargetHasNothingAppliedAndStaysEmpty) {
  Sandbox box;
  expect_output(box.run({"status", "--target", box.target()}),
                "Target   " + box.target() + "\n"
                "Identity " + std::string(kEmptyIdentity) + "\n"
                "Setup    none applied by velk-setup-system\n"
                "Backups  0\n");
  EXPECT_TRUE(entries(box.target()).empty());
}

TEST(StatusCommand, InstalledTargetDriftsOnlyWhenAnOwnedSurfaceChanges) {
  Sandbox box;
  const std::string t = box.target();
  install_files(t);
  record_install(t, "baseline", "op-20260101-1");
  const std::string identity = identity_of(t).substr(0, 19);
  const std::string head = "Target   " + t + "\nIdentity ";
  const std::string clean = head + identity + "\n"
                            "Setup    baseline\n"
                            "Applied  operation op-20260101-1\n"
                            "Drift    none\n"
                            "Backups  0\n";
  expect_output(box.run({"status", "--target", t}), clean);
  expect_output(box.run({"diff", "--target", t}), "The target matches the setup recorded in it.\n");

  // Outside the owned surfaces: the product's logs.
  write_text(t + "/logs/x", "a log line\n");
  expect_output(box.run({"status", "--target", t}), clean);

  write_text(t + "/config.toml", "[session]\nload_envrc = true\n");
  const std::string drifted = identity_of(t).substr(0, 19);
  ASSERT_NE(drifted, identity);
  expect_output(box.run({"status", "--target", t}),
                head + drifted + "\n"
                "Setup    baseline\n"
                "Applied  operation op-20260101-1\n"
                "Drift    the target has changed since it was applied\n"
                "         run `diff` to see where, or `reinstall` to put it back\n"
                "Backups  0\n");
}

TEST(StatusCommand, RecordsWithoutASetupOrInAnotherSchema) {
  Sandbox box;
  const std::string t = box.target();
  record_install(t, std::nullopt, "op-2");
  expect_output(box.run({"status", "--target", t}),
                "Target   " + t + "\nIdentity " + kEmptyIdentity + "\n"
                "Setup    none \u2014 the last operation named no setup\n"
                "Applied  operation op-2\n"
                "Drift    none\n"
                "Backups  0\n");

  write_text(t + "/MIREL-VELK-PROVIDER.json", R"({"state_schema": 3})");
  expect_output(box.run({"status", "--target", t}),
                "Target   " + t + "\nIdentity " + kEmptyIdentity + "\n"
                "Setup    recorded in schema 3, which this build does not write\n"
                "         reported as found; nothing was migrated\n"
                "Backups  0\n");
  expect_output(box.run({"diff", "--target", t}),
                "Nothing to compare: velk-setup-system has applied no setup here.\n");
  EXPECT_EQ(entries(t), (Words{"/MIREL-VELK-PROVIDER.json"}));
}

TEST(StatusCommand, UnreadableStateFileFailsAfterTheTargetLines) {
  Sandbox box;
  const std::string t = box.target();
  write_text(t + "/MIREL-VELK-PROVIDER.json", R"({"state_schema": "4"})");
  const RunResult r = box.run({"status", "--target", t});
  expect_failure(r, "Target   " + t + "\nIdentity " + kEmptyIdentity + "\n",
                 t + "/MIREL-VELK-PROVIDER.json declares no state_schema");
}

TEST(DiffCommand, ChangedTargetListsTheOwnedSurfaces) {
  Sandbox box;
  const std::string t = box.target();
  install_files(t);
  record_install(t, "full-auto", "op-3");
  const std::string recorded = identity_of(t).substr(0, 19);
  ASSERT_EQ(::unlink((t + "/AGENTS.md").c_str()), 0);
  // A dangling link is something at its path.
  ASSERT_EQ(::symlink("nowhere", (t + "/hooks").c_str()), 0);
  const std::string observed = identity_of(t).substr(0, 19);

  std::string surfaces;
  for (const auto& surface : declaration().owned_surfaces) {
    const std::string path(surface.path);
    const bool present = path == "config.toml" || path == "skills" || path == "hooks";
    surfaces += std::string("  ") + (present ? "present" : "absent ") + "  " + path + "\n";
  }
  expect_output(box.run({"diff", "--target", t}),
                "The target has changed since full-auto was applied.\n"
                "  recorded " + recorded + "\n"
                "  observed " + observed + "\n"
                "\nThis provider owns:\n" + surfaces +
                "\n`reinstall` puts the recorded setup back. Everything else is left alone.\n");
  EXPECT_NE(surfaces.find("  absent   AGENTS.md\n"), std::string::npos);

  record_install(t, std::nullopt, "op-4");
  write_text(t + "/config.toml", "changed");
  const RunResult r = box.run({"diff", "--target", t});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "The target has changed since the recorded setup was applied.");
}

void write_slot(const std::string& pool, int number, const std::string& operation,
                const std::string& setup_json) {
  const std::string name = "slot-00000000000" + std::to_string(number);
  write_text(pool + "/" + name + "/slot.json",
             R"({"backup_ref":")" + name + R"(","operation":")" + operation +
                 R"(","operation_id":"op-)" + std::to_string(number) +
                 R"(","schema_version":1,"setup_definition_digest":null,"setup_id":)" + setup_json +
                 R"(,"target_identity_digest":"sha256:)" + std::string(64, '0') + R"("})");
  make_dirs(pool + "/" + name + "/payload");
}

TEST(BackupsCommand, ListsCompleteSlotsNewestFirstWithTheirMarks) {
  Sandbox box;
  const std::string t = box.target();
  const std::string pool = t + "/.velk-setup-system/backups";
  write_slot(pool, 1, "install", "\"minimal\"");
  write_slot(pool, 2, "replace", "\"baseline\"");
  write_slot(pool, 3, "remove", "null");
  write_text(pool + "/slot-000000000002/HELD", "");
  make_dirs(pool + "/slot-000000000004/payload");  // incomplete: not listed
  const auto before = entries(t);

  expect_output(box.run({"backups", "--target", t}),
                "Backups of " + t + ", newest first:\n\n"
                "  slot-000000000003  (restored by default)\n"
                "      before remove, setup none\n"
                "  slot-000000000002  (held: no reason recorded)\n"
                "      before replace, setup baseline\n"
                "  slot-000000000001\n"
                "      before install, setup minimal\n"
                "\nRestore a specific one with:  restore --backup <ref> --target <dir>\n");
  const RunResult status = box.run({"status", "--target", t});
  EXPECT_NE(status.out.find("\nBackups  3\n"), std::string::npos) << status.out;

  // A held newest slot carries both marks, its reason trimmed.
  write_text(pool + "/slot-000000000003/HELD", "  keep for the demo \n");
  const RunResult held = box.run({"backups", "--target", t});
  EXPECT_NE(held.out.find("  slot-000000000003  (restored by default)  (held: keep for the demo)\n"),
            std::string::npos)
      << held.out;
  EXPECT_EQ(entries(t).size(), before.size() + 1);
}

TEST(BackupsCommand, NoPoolListsNoBackupsAndCreatesNothing) {
  Sandbox box;
  expect_output(box.run({"backups", "--target", box.target()}),
                "No backups. One is captured before every change.\n");
  EXPECT_TRUE(entries(box.target()).empty());
}

TEST(ReportCommands, TargetErrorsComeBeforeAnyOutput) {
  Sandbox box;
  write_text(box.path("file"), "x");
  for (const char* word : {"status", "diff", "backups"}) {
    expect_failure(box.run({word, "--target", "relative/dir"}), "",
                   "target must be absolute, got relative/dir");
    expect_failure(box.run({word, "--target", box.path("file")}), "",
                   "target " + box.path("file") + " is not a directory");
  }
}

}  // namespace
}  // namespace velk
