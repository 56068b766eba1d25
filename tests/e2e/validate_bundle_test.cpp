// validate-bundle through the binary: the claim echoed, then the verdict,
// exit 0 either way, and the target left alone.
#include <gtest/gtest.h>

#include "consumer.h"
#include "support/bundle_writer.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using testing::make_bundle;
using testing::write_bundle;

class ValidateBundle : public ::testing::Test {
 protected:
  void expect_answer(const BundleClaim& claim, const std::string& verdict) {
    testing::Words args = {"validate-bundle", "--target", dir_ / "target", "--json"};
    for (const std::string& flag : testing::bundle_flags(claim)) args.push_back(flag);
    testing::expect_output(
        testing::run_velk(args),
        R"({"bundle_format":")" + claim.format + R"(","bundle_digest":")" + claim.bundle_digest +
            R"(","artifact_digest":")" + claim.artifact_digest + R"(","bundle_size":)" +
            std::to_string(claim.size) + "," + verdict + "}\n");
    EXPECT_FALSE(testing::exists(dir_ / "target"));
  }

  testing::TempDir dir_;
};

TEST_F(ValidateBundle, AValidBundleIsTheClaimThenValid) {
  expect_answer(write_bundle(dir_ / "b.zip", make_bundle({{"AGENTS.md", {"# Agents\n"}},
                                                          {"skills/a/SKILL.md", {"a\n"}}})),
                R"("valid":true)");
  // Bound to user_root and writing config.toml: an operation under that
  // scope refuses it, but validation asks for no scope.
  expect_answer(write_bundle(dir_ / "u.zip",
                             make_bundle({{"config.toml", {"a = 1\n"}}}, TargetScope::user_root)),
                R"("valid":true)");
}

TEST_F(ValidateBundle, RefusalsAreAnswers) {
  expect_answer(write_bundle(dir_ / "c.zip", make_bundle({{"notes/x.md", {"x"}}})),
                R"("rejected":true,"reason":"unsupported_native_surface","detail":)"
                R"("the bundle writes \"notes/x.md\", which is outside the surface )"
                R"(velk-setup-system owns")");

  BundleClaim missing = write_bundle(dir_ / "b.zip", make_bundle({{"AGENTS.md", {"a\n"}}}));
  missing.path = dir_ / "absent.zip";
  expect_answer(missing, R"("rejected":true,"reason":"digest_mismatch","detail":"cannot read )"
                         R"(the bundle at )" + missing.path + R"(: No such file or directory")");
}

}  // namespace
}  // namespace velk
