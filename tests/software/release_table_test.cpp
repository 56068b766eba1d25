// Lookups in the pinned release table (generated from the stand-in
// artifacts in releases/, so their digests and lengths are not restated).
#include <gtest/gtest.h>

#include "core/fs.h"
#include "software/software.h"

namespace velk::testing {
namespace {

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

TEST(ReleaseTable, RecogniseArtifactByItsDigest) {
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
}

}  // namespace
}  // namespace velk::testing
