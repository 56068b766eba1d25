// Bundles written by other ZIP writers: Python's zipfile in the accepted
// shape validates; Info-ZIP's zip is refused on the first rule it breaks.
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>

#include "bundle_fixture.h"
#include "core/digest.h"
#include "core/fs.h"

namespace velk::testing {
namespace {

using BundleInterop = BundleTest;

bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Writes every member of the archive below `stage` under its own name, each
// file dated 1980-01-01T00:00:00 UTC with the mode of its attributes.
void stage_members(const ZipArchive& archive, const std::string& stage) {
  for (const ZipEntry& e : archive.entries) {
    const std::string path = path_join(stage, e.name);
    write_text(path, e.data, (e.external_attributes >> 16) & 0777);
    const struct utimbuf pinned{315532800, 315532800};
    ASSERT_EQ(::utime(path.c_str(), &pinned), 0);
  }
}

// The claim of a bundle file written by another tool.
BundleClaim claim_for(const std::string& path, const BundleParts& parts) {
  const std::string bytes = read_text(path);
  return BundleClaim{path, "ai-stp-bundle/2", parts.bundle_digest(), digest_bytes(bytes), bytes.size()};
}

TEST_F(BundleInterop, AcceptsABundleWrittenByPythonZipfile) {
  if (!have("python3")) GTEST_SKIP() << "python3 is not installed";
  const BundleParts parts = make_bundle(sample_files());
  const ZipArchive archive = parts.archive();
  const std::string stage = dir_ / "stage";
  stage_members(archive, stage);
  write_text(dir_ / "write.py", R"(import sys, zipfile
out, stage, names = sys.argv[1], sys.argv[2], sys.argv[3:]
with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
    for name, mode in zip(names[0::2], names[1::2]):
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        info.create_system = 3
        info.external_attr = (0o100000 | int(mode, 8)) << 16
        with open(stage + "/" + name, "rb") as f:
            z.writestr(info, f.read())
)");
  std::string command = "python3 " + shell_quoted(dir_ / "write.py") + " " +
                        shell_quoted(dir_ / "py.zip") + " " + shell_quoted(stage);
  for (const ZipEntry& e : archive.entries) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", (e.external_attributes >> 16) & 0777);
    command += " " + shell_quoted(e.name) + " " + mode;
  }
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  auto bundle = read_bundle(claim_for(dir_ / "py.zip", parts), RequestedScope::none);
  expect_valid(bundle);
  EXPECT_EQ(bundle->files.at("skills/review/SKILL.md").bytes, "review\n");
  EXPECT_EQ(bundle->files.at("skills/review/SKILL.md").mode, 0755u);
}

TEST_F(BundleInterop, RefusesAnInfoZipArchiveOnTheFirstRuleItBreaks) {
  if (!have("zip")) GTEST_SKIP() << "zip is not installed";
  const BundleParts parts = make_bundle(sample_files());
  const ZipArchive archive = parts.archive();
  const std::string stage = dir_ / "stage";
  stage_members(archive, stage);
  std::string names;
  for (const ZipEntry& e : archive.entries) names += " " + shell_quoted(e.name);
  const auto zip_with = [&](const std::string& flags, const std::string& out) {
    const std::string command = "cd " + shell_quoted(stage) + " && TZ=UTC zip -q " + flags + " " +
                                shell_quoted(out) + names;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  };

  // By default zip deflates the manifest: refused as compressed.
  zip_with("", dir_ / "deflated.zip");
  expect_refused(read_bundle(claim_for(dir_ / "deflated.zip", parts), RequestedScope::none),
                 ReasonCode::unsupported_bundle_format, "a bundle member is stored, never compressed");

  // Stored, but with zip's timestamp and owner extra fields.
  zip_with("-0", dir_ / "stored.zip");
  expect_refused(read_bundle(claim_for(dir_ / "stored.zip", parts), RequestedScope::none),
                 ReasonCode::unsupported_bundle_format,
                 "a bundle member carries no extra or comment field");

  // Stored, without extra fields, from files dated at the pinned time: the
  // accepted shape.
  zip_with("-0 -X", dir_ / "plain.zip");
  expect_valid(read_bundle(claim_for(dir_ / "plain.zip", parts), RequestedScope::none));
}

}  // namespace
}  // namespace velk::testing
