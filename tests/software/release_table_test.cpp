// The pinned release table, its lookups, and the stand-in artifacts in
// releases/ that it is generated from.
#include <gtest/gtest.h>

#include <fstream>

#include "archive_tools.h"
#include "core/fs.h"
#include "software/software.h"
#include "support/temp_dir.h"

namespace velk::testing {
namespace {

const std::vector<std::string> kPlatforms = {"linux/arm64",   "linux/x86_64", "macos/arm64",
                                             "macos/x86_64",  "windows/arm64", "windows/x86_64"};

std::string releases_dir() { return std::string(VELK_SOURCE_DIR) + "/releases"; }

// The file name at the end of a build's address.
std::string file_of(const Build& build) { return file_name(build.url); }

TEST(ReleaseTable, TwoVersionsOfSixPlatformsInTableOrder) {
  const auto& table = release_table();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(&current_release(), &table[0]);
  EXPECT_EQ(&previous_release(), &table[1]);
  EXPECT_EQ(table[0].version, "1.0.18");
  EXPECT_EQ(table[1].version, "1.0.13");
  EXPECT_EQ(pinned_versions_text(), "1.0.18 and 1.0.13");
  for (const Release& release : table) {
    SCOPED_TRACE(release.version);
    EXPECT_FALSE(release.delivery_note.has_value());
    std::vector<std::string> platforms;
    for (const Build& build : release.builds) {
      platforms.push_back(build.platform);
      EXPECT_EQ(build.entry_point, "");
      EXPECT_EQ(build.format, ArtifactForm::executable);
    }
    EXPECT_EQ(platforms, kPlatforms);
  }
  EXPECT_EQ(table[0].builds[0].url,
            "https://downloads.orlix.example/velk/1.0.18/velk-1.0.18-linux-aarch64");
  EXPECT_EQ(table[1].builds[5].url,
            "https://downloads.orlix.example/velk/1.0.13/velk-1.0.13-windows-x86_64.exe");
  EXPECT_EQ(file_of(table[0].builds[4]), "velk-1.0.18-windows-aarch64.exe");
  EXPECT_EQ(file_of(table[1].builds[3]), "velk-1.0.13-macos-x86_64");
}

TEST(ReleaseTable, DigestsAndLengthsAreThoseOfTheFilesInReleases) {
  std::vector<std::string> digests;
  for (const Release& release : release_table()) {
    for (const Build& build : release.builds) {
      const std::string path = releases_dir() + "/" + file_of(build);
      SCOPED_TRACE(path);
      const auto st = lstat_path(path);
      ASSERT_TRUE(st.has_value());
      EXPECT_EQ(build.byte_length, static_cast<uint64_t>(st->st_size));
      EXPECT_EQ(build.sha256, sha256_file(path));
      EXPECT_NE(st->st_mode & 0111, 0u) << "stand-in artifacts are executable";
      digests.push_back(build.sha256);
    }
  }
  std::sort(digests.begin(), digests.end());
  EXPECT_EQ(std::unique(digests.begin(), digests.end()), digests.end())
      << "every build has bytes of its own";
}

TEST(ReleaseTable, StandInArtifactsReportVersionEnvironmentAndArguments) {
  TempDir tmp;
  const std::string out = tmp / "out";
  const std::string command = "VELK_HOME=/some/home '" + releases_dir() +
                              "/velk-1.0.13-windows-aarch64.exe' 'two words' --exit 3 --target > '" +
                              out + "'";
  EXPECT_EQ(shell("unset VELK_DISABLE_AUTOUPDATER; " + command), 3);
  EXPECT_EQ(read_text(out),
            "velk 1.0.13\nVELK_HOME=/some/home\nVELK_DISABLE_AUTOUPDATER=\narg: two words\n"
            "arg: --exit\narg: 3\narg: --target\n");
  EXPECT_EQ(shell("env -u VELK_HOME VELK_DISABLE_AUTOUPDATER=1 '" + releases_dir() +
                  "/velk-1.0.18-linux-x86_64' > '" + out + "'"),
            0);
  EXPECT_EQ(read_text(out), "velk 1.0.18\nVELK_HOME=\nVELK_DISABLE_AUTOUPDATER=1\n");
}

TEST(ReleaseTable, SelectRelease) {
  auto current = select_release(std::nullopt);
  ASSERT_TRUE(current.ok());
  EXPECT_EQ((*current)->version, "1.0.18");
  auto previous = select_release("1.0.13");
  ASSERT_TRUE(previous.ok());
  EXPECT_EQ(*previous, &previous_release());
  auto other = select_release("1.0.15");
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error().kind, ErrorKind::unsupported_operation);
  EXPECT_EQ(other.error().message,
            "this build names velk 1.0.18 and 1.0.13; it cannot install 1.0.15, and installing "
            "one it does name instead would be answering a question nobody asked");
}

TEST(ReleaseTable, BuildForPlatform) {
  auto found = build_for_platform(current_release(), "macos", "arm64");
  ASSERT_TRUE(found.ok());
  EXPECT_EQ((*found)->platform, "macos/arm64");
  EXPECT_EQ(file_of(**found), "velk-1.0.18-macos-aarch64");

  const std::string all =
      "linux/arm64, linux/x86_64, macos/arm64, macos/x86_64, windows/arm64, windows/x86_64";
  auto riscv = build_for_platform(current_release(), "macos", "riscv64");
  ASSERT_FALSE(riscv.ok());
  EXPECT_EQ(riscv.error().kind, ErrorKind::unsupported_architecture);
  EXPECT_EQ(riscv.error().message, "1.0.18 publishes no build for macos/riscv64; it publishes " + all);
  auto freebsd = build_for_platform(previous_release(), "freebsd", "arm64");
  ASSERT_FALSE(freebsd.ok());
  EXPECT_EQ(freebsd.error().kind, ErrorKind::unsupported_platform);
  EXPECT_EQ(freebsd.error().message,
            "1.0.13 publishes no build for freebsd/arm64; it publishes " + all);
  // "mac" is not "macos/": the os must match whole.
  EXPECT_EQ(build_for_platform(current_release(), "mac", "arm64").error().kind,
            ErrorKind::unsupported_platform);

  Release empty{"2.0.0", {}, std::nullopt};
  auto none = build_for_platform(empty, "linux", "x86_64");
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().kind, ErrorKind::unsupported_platform);
  EXPECT_EQ(none.error().message, "2.0.0 publishes no build for linux/x86_64; it publishes ");

  Release delivered{"1.0.20", current_release().builds, DeliveryNote{"the vendor's installer",
                                                                     "run it yourself"}};
  auto note = build_for_platform(delivered, "linux", "x86_64");
  ASSERT_FALSE(note.ok());
  EXPECT_EQ(note.error().message, "1.0.20 is delivered by the vendor's installer: run it yourself");
}

TEST(ReleaseTable, HostPlatformIsTheCompilersTarget) {
  const Platform host = host_platform();
#if defined(__linux__) && defined(__x86_64__)
  EXPECT_EQ(host.os, "linux");
  EXPECT_EQ(host.arch, "x86_64");
#elif defined(__linux__) && defined(__aarch64__)
  EXPECT_EQ(host.os, "linux");
  EXPECT_EQ(host.arch, "arm64");
#endif
  auto build = host_build(current_release());
  ASSERT_TRUE(build.ok()) << build.error().message;
  EXPECT_EQ((*build)->platform, std::string(host.os) + "/" + std::string(host.arch));
}

TEST(ReleaseTable, RecogniseArtifactByItsDigest) {
  auto previous_host = host_build(previous_release());
  ASSERT_TRUE(previous_host.ok());
  auto recognised = recognise_digest((*previous_host)->sha256);
  ASSERT_TRUE(recognised.ok());
  EXPECT_EQ(recognised->release->version, "1.0.13");
  EXPECT_EQ(recognised->build, *previous_host);

  // Another platform's build of a pinned release is not this host's.
  const Build& other = current_release().builds[0].platform ==
                               (*host_build(current_release()))->platform
                           ? current_release().builds[1]
                           : current_release().builds[0];
  auto foreign = recognise_digest(other.sha256);
  ASSERT_FALSE(foreign.ok());
  const Platform host = host_platform();
  EXPECT_EQ(foreign.error().message,
            "the artifact given is not a velk release this build names: it hashes to " +
                other.sha256 + ", and velk publishes 1.0.18 and 1.0.13 for " +
                std::string(host.os) + "/" + std::string(host.arch));
}

TEST(ReleaseTable, RecogniseArtifactFile) {
  TempDir tmp;
  const Build& previous_host = **host_build(previous_release());
  const std::string bytes = read_text(releases_dir() + "/" + file_of(previous_host));
  write_text(tmp / "download", bytes);
  auto recognised = recognise_artifact(tmp / "download");
  ASSERT_TRUE(recognised.ok()) << recognised.error().full();
  EXPECT_EQ(recognised->release->version, "1.0.13");
  EXPECT_EQ(recognised->build->platform, previous_host.platform);

  write_text(tmp / "longer", bytes + "\n");
  auto longer = recognise_artifact(tmp / "longer");
  ASSERT_FALSE(longer.ok());
  EXPECT_EQ(longer.error().kind, ErrorKind::integrity_mismatch);
  EXPECT_NE(longer.error().message.find("it hashes to " + sha256_file(tmp / "longer") + ","),
            std::string::npos)
      << longer.error().message;

  EXPECT_FALSE(recognise_artifact(tmp / "absent").ok());
}

}  // namespace
}  // namespace velk::testing
