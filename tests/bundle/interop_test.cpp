// Bundles written by other ZIP writers: Python's zipfile in the accepted
// shape validates; Info-ZIP's zip is refused on the first rule it breaks.
#include <utime.h>

#include "support/bundle_fixture.h"
#include "core/fs.h"
#include "support/runner.h"

namespace velk::testing {
namespace {

class BundleInterop : public BundleTest {
 protected:
  // Every member of the sample bundle as a file below stage/, dated 1980-01-01 UTC, with its mode.
  void SetUp() override {
    for (const ZipEntry& e : parts_.archive().entries) {
      const std::string path = path_join(stage_, e.name);
      write_text(path, e.data, (e.external_attributes >> 16) & 0777);
      const struct utimbuf pinned{315532800, 315532800};
      ASSERT_EQ(::utime(path.c_str(), &pinned), 0);
    }
  }

  // Runs a tool found on PATH in stage/; false when it is not installed.
  bool tool(const std::vector<std::string>& args) {
    RunOptions options;
    options.cwd = stage_;
    options.set_env = {{"TZ", "UTC"}};
    const RunResult r = run_program("/usr/bin/env", args, options);
    if (r.exit_code == 127) return false;
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return true;
  }

  // The claim of a bundle file written by another tool, read back.
  Result<ValidatedBundle> read_written(const std::string& path) {
    return read_bundle(write_bundle(path, read_text(path), parts_.bundle_digest()),
                       RequestedScope::none);
  }

  // The tool's command line with the member names, in bundle order, after it.
  std::vector<std::string> with_members(std::vector<std::string> args) const {
    for (const ZipEntry& e : parts_.archive().entries) args.push_back(e.name);
    return args;
  }

  const BundleParts parts_ = make_bundle(sample_files());
  const std::string stage_ = dir_ / "stage";
};

// zipfile stores each member with its file's mode and time and no extra field.
TEST_F(BundleInterop, AcceptsABundleWrittenByPythonZipfile) {
  if (!tool(with_members({"python3", "-c", R"(import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for name in sys.argv[2:]:
        z.write(name)
)", dir_ / "py.zip"})))
    GTEST_SKIP() << "python3 is not installed";
  auto bundle = read_written(dir_ / "py.zip");
  expect_valid(bundle);
  EXPECT_EQ(bundle->files.at("skills/review/SKILL.md").bytes, "review\n");
  EXPECT_EQ(bundle->files.at("skills/review/SKILL.md").mode, 0755u);
}

TEST_F(BundleInterop, RefusesAnInfoZipArchiveOnTheFirstRuleItBreaks) {
  // By default zip deflates the manifest: refused as compressed.
  if (!tool(with_members({"zip", "-q", dir_ / "deflated.zip"})))
    GTEST_SKIP() << "zip is not installed";
  expect_refused(read_written(dir_ / "deflated.zip"), ReasonCode::unsupported_bundle_format,
                 "a bundle member is stored, never compressed");

  // Stored, but with zip's timestamp and owner extra fields.
  tool(with_members({"zip", "-q", "-0", dir_ / "stored.zip"}));
  expect_refused(read_written(dir_ / "stored.zip"), ReasonCode::unsupported_bundle_format,
                 "a bundle member carries no extra or comment field");

  // Stored, without extra fields, from files at the pinned time: accepted.
  tool(with_members({"zip", "-q", "-0", "-X", dir_ / "plain.zip"}));
  expect_valid(read_written(dir_ / "plain.zip"));
}

}  // namespace
}  // namespace velk::testing
