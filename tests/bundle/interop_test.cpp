// Bundles written by other ZIP writers: Python's zipfile in the accepted
// shape validates; Info-ZIP's zip is refused on the first rule it breaks.
#include <utime.h>

#include <cstdio>

#include "bundle_fixture.h"
#include "core/digest.h"
#include "core/fs.h"
#include "support/runner.h"

namespace velk::testing {
namespace {

class BundleInterop : public BundleTest {
 protected:
  // Writes every member of the sample bundle below stage/ under its own
  // name, each file dated 1980-01-01T00:00:00 UTC with the mode of its
  // attributes.
  void SetUp() override {
    for (const ZipEntry& e : parts_.archive().entries) {
      const std::string path = path_join(stage_, e.name);
      write_text(path, e.data, (e.external_attributes >> 16) & 0777);
      const struct utimbuf pinned{315532800, 315532800};
      ASSERT_EQ(::utime(path.c_str(), &pinned), 0);
    }
  }

  // Runs a tool found on PATH in stage/; false when it is not installed.
  bool tool(const std::vector<std::string>& args, const std::string& input = "") {
    RunOptions options;
    options.cwd = stage_;
    options.set_env = {{"TZ", "UTC"}};
    options.input = input;
    const RunResult r = run_program("/usr/bin/env", args, options);
    if (r.exit_code == 127) return false;
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return true;
  }

  // The claim of a bundle file written by another tool, read back.
  ProtocolResult<ValidatedBundle> read_written(const std::string& path) {
    const std::string bytes = read_text(path);
    return read_bundle(BundleClaim{path, "ai-stp-bundle/2", parts_.bundle_digest(),
                                   digest_bytes(bytes), bytes.size()},
                       RequestedScope::none);
  }

  const BundleParts parts_ = make_bundle(sample_files());
  const std::string stage_ = dir_ / "stage";
};

TEST_F(BundleInterop, AcceptsABundleWrittenByPythonZipfile) {
  std::vector<std::string> args = {"python3", "-", dir_ / "py.zip"};
  for (const ZipEntry& e : parts_.archive().entries) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", (e.external_attributes >> 16) & 0777);
    args.insert(args.end(), {e.name, mode});
  }
  if (!tool(args, R"(import sys, zipfile
out, names = sys.argv[1], sys.argv[2:]
with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
    for name, mode in zip(names[0::2], names[1::2]):
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        info.create_system = 3
        info.external_attr = (0o100000 | int(mode, 8)) << 16
        with open(name, "rb") as f:
            z.writestr(info, f.read())
)"))
    GTEST_SKIP() << "python3 is not installed";
  auto bundle = read_written(dir_ / "py.zip");
  expect_valid(bundle);
  EXPECT_EQ(bundle->files.at("skills/review/SKILL.md").bytes, "review\n");
  EXPECT_EQ(bundle->files.at("skills/review/SKILL.md").mode, 0755u);
}

TEST_F(BundleInterop, RefusesAnInfoZipArchiveOnTheFirstRuleItBreaks) {
  const auto zip_with = [&](std::vector<std::string> flags, const std::string& out) {
    flags.insert(flags.begin(), {"zip", "-q"});
    flags.push_back(out);
    for (const ZipEntry& e : parts_.archive().entries) flags.push_back(e.name);
    return tool(flags);
  };
  // By default zip deflates the manifest: refused as compressed.
  if (!zip_with({}, dir_ / "deflated.zip")) GTEST_SKIP() << "zip is not installed";
  expect_refused(read_written(dir_ / "deflated.zip"), ReasonCode::unsupported_bundle_format,
                 "a bundle member is stored, never compressed");

  // Stored, but with zip's timestamp and owner extra fields.
  zip_with({"-0"}, dir_ / "stored.zip");
  expect_refused(read_written(dir_ / "stored.zip"), ReasonCode::unsupported_bundle_format,
                 "a bundle member carries no extra or comment field");

  // Stored, without extra fields, from files dated at the pinned time: the
  // accepted shape.
  zip_with({"-0", "-X"}, dir_ / "plain.zip");
  expect_valid(read_written(dir_ / "plain.zip"));
}

}  // namespace
}  // namespace velk::testing
