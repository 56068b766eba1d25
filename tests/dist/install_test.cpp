// What an installation lays out: `cmake --install` into a staging root, and
// the installed program and library run from there.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "core/digest.h"
#include "support/runner.h"
#include "support/software_prefix.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using namespace velk::testing;
using Words = std::vector<std::string>;

unsigned mode_of(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(Install, LaysOutExactlyTheProgramPagesCompletionAndGuides) {
  TempDir stage, scratch;
  // The build tree's install script, writing its install manifest here, not in the build tree:
  std::string script = read_text(std::string(VELK_BUILD_DIR) + "/cmake_install.cmake");
  const std::string manifest = "file(WRITE \"" + std::string(VELK_BUILD_DIR) + "/";
  const size_t at = script.rfind(manifest);
  ASSERT_NE(at, std::string::npos) << "the install script no longer ends as expected";
  script.replace(at, manifest.size(), "file(WRITE \"" + scratch.path() + "/");
  write_text(scratch / "cmake_install.cmake", script);

  RunOptions options;
  options.set_env = {{"DESTDIR", stage.path()}};
  options.timeout = std::chrono::seconds(120);
  const RunResult install = run_program(
      VELK_CMAKE_COMMAND, {"-DCMAKE_INSTALL_PREFIX=/usr", "-P", scratch / "cmake_install.cmake"},
      options);
  ASSERT_EQ(install.exit_code, 0) << install.out << install.err;
  EXPECT_TRUE(exists(scratch / "install_manifest.txt"));

  // The catalog beside the program is the source tree's, file for file.
  const std::string catalog = "/usr/lib/velk-setup-system/setups/velk-build";
  EXPECT_EQ(digest_tree(stage / catalog).value(),
            digest_tree(std::string(VELK_SOURCE_DIR) + "/setups/velk-build").value());
  Words files;  // every file and link under the stage but the catalog's
  for (const auto& e : std::filesystem::recursive_directory_iterator(stage.path())) {
    const std::string f = e.path().string().substr(stage.path().size());
    if ((!e.is_directory() || e.is_symlink()) && !f.starts_with(catalog + "/")) files.push_back(f);
  }
  std::sort(files.begin(), files.end());
  Words expected = {"/usr/bin/velk-setup-system"};
  const std::string library = "/usr/lib/python3/dist-packages/velk_setup_client/";
  for (const char* module : {"__init__", "__main__", "bundle", "canonical", "cli", "errors", "paths",
                             "product", "provider"})
    expected.push_back(library + module + ".py");
  for (const char* installed : {
           "/usr/lib/velk-setup-system/velk-setup-system",
           "/usr/share/bash-completion/completions/velk-setup-system",
           "/usr/share/doc/velk-setup-system/examples/protocol_session.py",
           "/usr/share/doc/velk-setup-system/protocol-guide.md",
           "/usr/share/doc/velk-setup-system/troubleshooting.md",
           "/usr/share/doc/velk-setup-system/user-guide.md",
           "/usr/share/fish/vendor_completions.d/velk-setup-system.fish",
           "/usr/share/man/man1/velk-setup-system.1.gz",
           "/usr/share/man/man7/velk-setup-system-protocol.7.gz",
           "/usr/share/zsh/vendor-completions/_velk-setup-system"})
    expected.push_back(installed);
  EXPECT_EQ(files, expected);
  EXPECT_EQ(link_target(stage / "usr/bin/velk-setup-system"),
            "../lib/velk-setup-system/velk-setup-system");
  EXPECT_EQ(mode_of(stage / "usr/lib/velk-setup-system/velk-setup-system"), 0755u);
  EXPECT_EQ(mode_of(stage / "usr/share/man/man1/velk-setup-system.1.gz"), 0644u);

  // Run through its link, the staged program lists the catalog beside it, TMPDIR left empty.
  make_dirs(stage / "tmp");
  RunOptions run;
  run.cwd = stage.path();
  run.set_env = {{"TMPDIR", stage / "tmp"}};
  run.unset_env = {"VELK_SETUP_SYSTEM_SETUP_CATALOG"};
  const std::string program = stage / "usr/bin/velk-setup-system";
  const RunResult version = run_program(program, {"--version"}, run);
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, run_velk({"--version"}).out);
  const RunResult list = run_program(program, {"list"}, run);
  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_EQ(list.out.rfind("Setups for Velk Build (Orlix):\n", 0), 0u) << list.out;
  for (const char* id : {"\n  minimal\n", "\n  baseline\n", "\n  full-auto\n", "\n  mirel-builder\n"})
    EXPECT_NE(list.out.find(id), std::string::npos) << id;
  EXPECT_TRUE(std::filesystem::is_empty(stage / "tmp"));

  // So does the consumer library installed beside it.
  const std::string site = stage / "usr/lib/python3/dist-packages";
  run.set_env = {{"PYTHONPATH", site}, {"PYTHONDONTWRITEBYTECODE", "1"}};
  const RunResult help = run_program(VELK_PYTHON, {"-m", "velk_setup_client", "--help"}, run);
  EXPECT_EQ(help.exit_code, 0) << help.err;
  EXPECT_NE(help.out.find("bundle"), std::string::npos) << help.out;
  const RunResult where =
      run_program(VELK_PYTHON, {"-c", "import velk_setup_client as v; print(v.__file__)"}, run);
  EXPECT_EQ(where.out, site + "/velk_setup_client/__init__.py\n") << where.err;
}

}  // namespace
}  // namespace velk
