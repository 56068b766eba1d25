// A fixture for extraction tests: archives are made under src/, and each is
// extracted into out/stage, so anything written beside the staging tree
// shows up in out/.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "archive_tools.h"
#include "core/fs.h"
#include "software/software.h"
#include "support/temp_dir.h"

namespace velk::testing {

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

  // Crafts an archive with Python in src/ (see archive_tools.h).
  void craft(const std::string& script) { ASSERT_EQ(python(src(), script), 0) << script; }
  void run(const std::string& command) {
    ASSERT_EQ(shell("cd '" + src() + "' && " + command), 0) << command;
  }

  Result<uint64_t> extract(std::string_view name, ArtifactForm form) {
    const std::string path = src(name);
    const auto st = lstat_path(path);
    EXPECT_TRUE(st.has_value()) << path;
    return extract_artifact(path, form, dest(), st ? static_cast<uint64_t>(st->st_size) : 0);
  }

  // The message of an extraction that must fail.
  std::string failure(std::string_view name, ArtifactForm form) {
    auto result = extract(name, form);
    EXPECT_FALSE(result.ok()) << name << " was extracted";
    return result.ok() ? std::string() : result.error().message;
  }

  // Nothing but the staging tree exists in out/.
  void expect_nothing_outside() {
    for (const std::string& entry : tree_listing(tmp_ / "out"))
      EXPECT_TRUE(entry.rfind("stage/", 0) == 0) << entry << " was written outside";
  }

  TempDir tmp_;
};

inline std::string refusal(std::string_view what, char flag) {
  return "refusing " + std::string(what) + " (type flag '" + std::string(1, flag) +
         "'): extraction here writes regular files and directories and nothing else, so that "
         "no entry can redirect a later write outside the destination";
}

}  // namespace velk::testing
