// validate-bundle through the binary: the claim echoed, then the verdict,
// exit 0 either way, and the target left alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json.h"
#include "support/bundle_writer.h"
#include "support/runner.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::BundleParts;
using testing::exists;
using testing::make_bundle;
using testing::run_velk;
using testing::RunResult;
using testing::TempDir;
using testing::write_bundle;

class ValidateBundle : public ::testing::Test {
 protected:
  RunResult validate(const BundleClaim& claim) {
    return run_velk({"validate-bundle", "--target", dir_ / "target", "--json", "--bundle",
                     claim.path, "--bundle-format", claim.format, "--bundle-digest",
                     claim.bundle_digest, "--artifact-digest", claim.artifact_digest,
                     "--bundle-size", std::to_string(claim.size)});
  }
  static std::string echo(const BundleClaim& claim) {
    return R"({"bundle_format":")" + claim.format + R"(","bundle_digest":")" +
           claim.bundle_digest + R"(","artifact_digest":")" + claim.artifact_digest +
           R"(","bundle_size":)" + std::to_string(claim.size);
  }
  void expect_rejected(const BundleClaim& claim, const std::string& reason,
                       const std::string& detail) {
    const RunResult r = validate(claim);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, echo(claim) + R"(,"rejected":true,"reason":")" + reason +
                         R"(","detail":)" + Json(detail).dump() + "}\n");
  }

  TempDir dir_;
};

TEST_F(ValidateBundle, AValidBundleIsTheClaimThenValid) {
  const BundleClaim claim = write_bundle(
      dir_ / "b.zip", make_bundle({{"AGENTS.md", {"# Agents\n"}}, {"skills/a/SKILL.md", {"a\n"}}}));
  const RunResult r = validate(claim);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, echo(claim) + R"(,"valid":true})" "\n");
  EXPECT_FALSE(exists(dir_ / "target"));
}

TEST_F(ValidateBundle, ChecksSurfacesAsForNoScope) {
  // Bound to user_root and writing config.toml: an operation under that
  // scope refuses it, but validation asks for no scope.
  const BundleClaim claim = write_bundle(
      dir_ / "b.zip", make_bundle({{"config.toml", {"a = 1\n"}}}, TargetScope::user_root));
  EXPECT_EQ(validate(claim).out, echo(claim) + R"(,"valid":true})" "\n");

  const BundleClaim outside = write_bundle(dir_ / "c.zip", make_bundle({{"notes/x.md", {"x"}}}));
  expect_rejected(outside, "unsupported_native_surface",
                  "the bundle writes \"notes/x.md\", which is outside the surface "
                  "velk-setup-system owns");
}

TEST_F(ValidateBundle, RefusalsAreAnswers) {
  BundleClaim claim = write_bundle(dir_ / "b.zip", make_bundle({{"AGENTS.md", {"# Agents\n"}}}));
  BundleClaim missing = claim;
  missing.path = dir_ / "absent.zip";
  const RunResult r = validate(missing);
  EXPECT_EQ(r.exit_code, 0);
  const auto doc = parse_json(r.out.substr(0, r.out.size() - 1));
  ASSERT_TRUE(doc.ok()) << r.out;
  EXPECT_EQ(doc.value()["reason"], "digest_mismatch");
  EXPECT_TRUE(doc.value()["detail"].get<std::string>().starts_with("cannot read the bundle at " +
                                                                  missing.path))
      << r.out;

  BundleClaim wrong = claim;
  wrong.artifact_digest = "sha256:" + std::string(64, '0');
  expect_rejected(wrong, "digest_mismatch",
                  "the artifact bytes do not hash to the digest that named them");

  // An empty file is bytes too: it fails as a container, not as a read.
  expect_rejected(write_bundle(dir_ / "empty.zip", "", claim.bundle_digest),
                  "unsupported_bundle_format", "the artifact is too short to be a ZIP");

  BundleParts parts = make_bundle({{"AGENTS.md", {"# Agents\n"}}});
  parts.manifest["harness_id"] = "other";
  parts.seal();
  expect_rejected(write_bundle(dir_ / "h.zip", parts), "projection_profile_mismatch",
                  "the bundle is for harness \"other\", and this provider configures "
                  "\"velk-build\"");
}

}  // namespace
}  // namespace velk
