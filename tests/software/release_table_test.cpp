// The pinned release table, its lookups, and the stand-in artifacts in
// releases/ that it is generated from.
#include <gtest/gtest.h>

#include "archive_tools.h"
#include "core/digest.h"
#include "core/fs.h"
#include "software/software.h"
#include "support/runner.h"
#include "support/temp_dir.h"

namespace velk::testing {
namespace {

std::string release_file(const Build& build) {
  return std::string(VELK_SOURCE_DIR) + "/releases/" + file_name(build.url);
}

// The platforms and their order are those BuildForPlatform lists.
TEST(ReleaseTable, TwoVersionsOfPlainExecutablesSelectedByVersion) {
  const auto& table = release_table();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(&current_release(), &table[0]);
  EXPECT_EQ(&previous_release(), &table[1]);
  EXPECT_EQ(pinned_versions_text(), "1.0.18 and 1.0.13");
  for (const Release& release : table) {
    EXPECT_EQ(release.builds.size(), 6u);
    EXPECT_FALSE(release.delivery_note.has_value());
    for (const Build& build : release.builds)
      EXPECT_TRUE(build.entry_point.empty() && build.format == ArtifactForm::executable);
  }
  EXPECT_EQ(table[1].builds[5].url,
            "https://downloads.orlix.example/velk/1.0.13/velk-1.0.13-windows-x86_64.exe");
  EXPECT_EQ(*select_release(std::nullopt), &current_release());
  EXPECT_EQ(*select_release("1.0.13"), &previous_release());
  auto other = select_release("1.0.15");
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error().kind, ErrorKind::unsupported_operation);
}

TEST(ReleaseTable, DigestsAndLengthsAreThoseOfTheFilesInReleases) {
  std::vector<std::string> digests;
  for (const Release& release : release_table()) {
    for (const Build& build : release.builds) {
      const std::string path = release_file(build);
      const auto st = lstat_path(path);
      ASSERT_TRUE(st.has_value()) << path;
      EXPECT_EQ(build.byte_length, static_cast<uint64_t>(st->st_size)) << path;
      EXPECT_EQ(build.sha256, digest_file(path).value());
      EXPECT_NE(st->st_mode & 0111, 0u) << path << ": stand-in artifacts are executable";
      digests.push_back(build.sha256);
    }
  }
  std::sort(digests.begin(), digests.end());
  EXPECT_EQ(std::unique(digests.begin(), digests.end()), digests.end())
      << "every build has bytes of its own";
}

TEST(ReleaseTable, StandInArtifactsReportVersionEnvironmentAndArguments) {
  RunOptions options;
  options.set_env = {{"VELK_HOME", "/some/home"}};
  options.unset_env = {"VELK_DISABLE_AUTOUPDATER"};
  const RunResult run = run_program(release_file(previous_release().builds[4]),
                                    {"two words", "--exit", "3", "--target"}, options);
  EXPECT_EQ(run.exit_code, 3);
  EXPECT_EQ(run.out, "velk 1.0.13\nVELK_HOME=/some/home\nVELK_DISABLE_AUTOUPDATER=\n"
                     "arg: two words\narg: --exit\narg: 3\narg: --target\n");
}

TEST(ReleaseTable, BuildForPlatform) {
  auto found = build_for_platform(current_release(), "macos", "arm64");
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(file_name((*found)->url), "velk-1.0.18-macos-aarch64");

  const std::string all =
      "linux/arm64, linux/x86_64, macos/arm64, macos/x86_64, windows/arm64, windows/x86_64";
  const auto refusal = [](const Release& release, std::string_view os, std::string_view arch,
                          ErrorKind kind) {
    auto build = build_for_platform(release, os, arch);
    if (build.ok()) return std::string("found");
    EXPECT_EQ(build.error().kind, kind) << os << "/" << arch;
    return build.error().message;
  };
  EXPECT_EQ(refusal(current_release(), "macos", "riscv64", ErrorKind::unsupported_architecture),
            "1.0.18 publishes no build for macos/riscv64; it publishes " + all);
  EXPECT_EQ(refusal(previous_release(), "freebsd", "arm64", ErrorKind::unsupported_platform),
            "1.0.13 publishes no build for freebsd/arm64; it publishes " + all);
  // "mac" is not "macos/": the os must match whole.
  EXPECT_EQ(refusal(current_release(), "mac", "arm64", ErrorKind::unsupported_platform),
            "1.0.18 publishes no build for mac/arm64; it publishes " + all);
  EXPECT_EQ(refusal(Release{"2.0.0", {}, std::nullopt}, "linux", "x86_64",
                    ErrorKind::unsupported_platform),
            "2.0.0 publishes no build for linux/x86_64; it publishes ");
  const Release delivered{"1.0.20", current_release().builds,
                          DeliveryNote{"the vendor's installer", "run it yourself"}};
  EXPECT_EQ(build_for_platform(delivered, "linux", "x86_64").error().message,
            "1.0.20 is delivered by the vendor's installer: run it yourself");
}

TEST(ReleaseTable, HostPlatformIsTheCompilersTarget) {
  const Platform host = host_platform();
  const std::string name = std::string(host.os) + "/" + std::string(host.arch);
#if defined(__linux__) && defined(__x86_64__)
  EXPECT_EQ(name, "linux/x86_64");
#elif defined(__linux__) && defined(__aarch64__)
  EXPECT_EQ(name, "linux/arm64");
#endif
  auto build = host_build(current_release());
  ASSERT_TRUE(build.ok()) << build.error().message;
  EXPECT_EQ((*build)->platform, name);
}

TEST(ReleaseTable, RecogniseArtifactByItsDigestOrFile) {
  const Build& previous_host = **host_build(previous_release());
  auto recognised = recognise_digest(previous_host.sha256);
  ASSERT_TRUE(recognised.ok());
  EXPECT_EQ(recognised->release->version, "1.0.13");
  EXPECT_EQ(recognised->build, &previous_host);

  // Another platform's build of a pinned release is not this host's.
  const Build& other = current_release().builds[0].platform == previous_host.platform
                           ? current_release().builds[1]
                           : current_release().builds[0];
  auto foreign = recognise_digest(other.sha256);
  ASSERT_FALSE(foreign.ok());
  EXPECT_EQ(foreign.error().message,
            "the artifact given is not a velk release this build names: it hashes to " +
                other.sha256 + ", and velk publishes 1.0.18 and 1.0.13 for " +
                previous_host.platform);

  TempDir tmp;
  const std::string bytes = read_text(release_file(previous_host));
  write_text(tmp / "download", bytes);
  auto file = recognise_artifact(tmp / "download");
  ASSERT_TRUE(file.ok()) << file.error().full();
  EXPECT_EQ(file->build, &previous_host);
  write_text(tmp / "longer", bytes + "\n");
  auto longer = recognise_artifact(tmp / "longer");
  ASSERT_FALSE(longer.ok());
  EXPECT_EQ(longer.error().kind, ErrorKind::integrity_mismatch);
  const std::string hashes = "it hashes to " + digest_file(tmp / "longer").value() + ",";
  EXPECT_NE(longer.error().message.find(hashes), std::string::npos)
      << longer.error().message;
  EXPECT_FALSE(recognise_artifact(tmp / "absent").ok());
}

}  // namespace
}  // namespace velk::testing
