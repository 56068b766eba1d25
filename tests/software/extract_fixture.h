// Fixtures of the software tests. Archives are made under src/ and extracted
// into out/stage, so anything written beside the staging tree shows up in out/.
#pragma once

#include "core/fs.h"
#include "software/software.h"
#include "support/runner.h"
#include "support/software_prefix.h"
#include "support/tree_helpers.h"

namespace velk::testing {

using Lines = std::vector<std::string>;

RunResult run_in(const std::string& dir, const std::string& command);

// Runs a Python 3 script in `dir` after archive_tools.cpp's tar helpers.
RunResult python(const std::string& dir, const std::string& script);

// Every entry below `root`, relative and sorted; directories end in "/".
Lines tree_listing(const std::string& root);

// A program prefix in a fresh temporary directory.
class PrefixTest : public ::testing::Test {
 protected:
  std::string P() const { return tmp_ / "prefix"; }
  std::string at(std::string_view relative) const { return path_join(P(), relative); }
  TempDir tmp_;
};

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dirs(src());
    make_dirs(dest());
  }

  std::string src(std::string_view relative = "") const {
    return path_join(tmp_ / "src", relative);
  }
  std::string dest(std::string_view relative = "") const {
    return path_join(tmp_ / "out/stage", relative);
  }
  void reset() {
    ASSERT_TRUE(remove_path(dest()).ok());
    make_dirs(dest());
  }

  void craft(const std::string& script) {
    const RunResult r = python(src(), script);
    ASSERT_EQ(r.exit_code, 0) << script << r.err;
  }
  void run(const std::string& command) {
    const RunResult r = run_in(src(), command);
    ASSERT_EQ(r.exit_code, 0) << command << r.err;
  }

  Result<uint64_t> extract(std::string_view name, ArtifactForm form) {
    const auto st = lstat_path(src(name));
    EXPECT_TRUE(st.has_value()) << name;
    return extract_artifact(src(name), form, dir_of(dest()),
                            st ? static_cast<uint64_t>(st->st_size) : 0);
  }
  // The number of files an extraction that must succeed placed.
  uint64_t extracted(std::string_view name, ArtifactForm form) {
    auto result = extract(name, form);
    EXPECT_TRUE(result.ok()) << name << ": " << result.error().full();
    return result.ok() ? *result : 0;
  }
  // The message of an extraction that must fail.
  std::string failure(std::string_view name, ArtifactForm form) {
    auto result = extract(name, form);
    EXPECT_FALSE(result.ok()) << name << " was extracted";
    return result.ok() ? std::string() : result.error().message;
  }

  // src/tree, with a file larger than one read buffer.
  void make_tree() {
    write_text(src("tree/bin/tool"), "#!/bin/sh\necho tool\n", 0755);
    write_text(src("tree/share/doc/readme.txt"), "read me\n", 0644);
    write_text(src("tree/secret"), "private\n", 0600);
    write_text(src("tree/setid"), "set-id\n", 0755);
    ASSERT_EQ(::chmod(src("tree/setid").c_str(), 04755), 0);
    write_text(src("tree/empty"), "", 0644);
    make_dirs(src("tree/var/empty"));
    run("head -c 300000 /dev/urandom > tree/big.bin");
  }
  // The staging tree holds src/tree's files and permissions, less set-id.
  void expect_tree() {
    EXPECT_EQ(tree_listing(dest()),
              (Lines{"big.bin", "bin/", "bin/tool", "empty", "secret", "setid", "share/",
                     "share/doc/", "share/doc/readme.txt", "var/", "var/empty/"}));
    for (const char* file : {"bin/tool", "share/doc/readme.txt", "secret", "setid", "empty",
                             "big.bin"})
      EXPECT_EQ(read_text(dest(file)), read_text(src(std::string("tree/") + file))) << file;
    EXPECT_EQ(mode_of(dest("bin/tool")), 0755u);
    EXPECT_EQ(mode_of(dest("share/doc/readme.txt")), 0644u);
    EXPECT_EQ(mode_of(dest("secret")), 0600u);
    EXPECT_EQ(mode_of(dest("setid")), 0755u) << "set-id bits must be dropped";
  }

  void expect_nothing_outside() {
    for (const std::string& entry : tree_listing(tmp_ / "out"))
      EXPECT_TRUE(entry.rfind("stage/", 0) == 0) << entry << " was written outside";
  }

  TempDir tmp_;
};

}  // namespace velk::testing
