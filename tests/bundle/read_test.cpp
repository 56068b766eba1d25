// Reading the file a claim names, and the manifest's own identity.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/bundle_fixture.h"
#include "core/digest.h"
#include "support/fifo.h"

namespace velk::testing {
namespace {

using ReadBundle = BundleTest;

// The claim of a valid bundle, pointed at `path`, and the refusal to read it.
void expect_unreadable(const std::string& path, const std::string& why) {
  BundleClaim claim = write_bundle(path + ".zip", make_bundle(sample_files()));
  claim.path = path;
  expect_refused(read_bundle(claim, RequestedScope::none), ReasonCode::digest_mismatch,
                 "cannot read the bundle at " + path + ": " + why);
}

TEST_F(ReadBundle, RefusesWhatCannotBeReadAndNeverWaitsOnAFifo) {
  expect_unreadable(dir_ / "missing", "No such file or directory");
  make_dirs(dir_ / "dir");
  expect_unreadable(dir_ / "dir", "Is a directory");

  const std::string fifo = dir_ / "bundle.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  expect_returns_promptly(fifo, [&] { expect_unreadable(fifo, "not a regular file"); });
}

TEST_F(ReadBundle, ChecksTheClaimBeforeOpeningTheArchive) {
  const BundleClaim claim = write_bundle(dir_ / "b.zip", make_bundle(sample_files()));

  BundleClaim other = claim;
  other.format = "ai-stp-bundle/1";
  expect_refused(read_bundle(other, RequestedScope::none), ReasonCode::unsupported_bundle_format,
                 "\"ai-stp-bundle/1\" is not a supported bundle format");

  // One byte off fails on the size, whatever the digest says.
  other = claim;
  other.size = claim.size + 1;
  other.artifact_digest = "sha256:nonsense";
  expect_refused(read_bundle(other, RequestedScope::none), ReasonCode::digest_mismatch,
                 "the artifact is " + std::to_string(claim.size) + " bytes, not " +
                     std::to_string(claim.size + 1));

  // The right size and a wrong digest fail before the bytes (no archive) are read.
  const std::string garbage(claim.size, 'x');
  other = write_bundle(dir_ / "garbage.zip", garbage, claim.bundle_digest);
  other.artifact_digest = claim.artifact_digest;
  expect_refused(read_bundle(other, RequestedScope::none), ReasonCode::digest_mismatch,
                 "the artifact bytes do not hash to the digest that named them");
  other.artifact_digest = digest_bytes(garbage);
  expect_refused(read_bundle(other, RequestedScope::none), ReasonCode::unsupported_bundle_format,
                 "the artifact does not end with a comment-free end-of-central-directory record");
}

// (A syntax error's message is compared by ValidateBundle in the e2e tests.)
TEST_F(ReadBundle, RefusesAnotherFormatProtocolOrHarnessAndAMissingMember) {
  expect_edits_refused(sample_files(), {
      {set_member("/bundle_format", "ai-stp-bundle/3"), ReasonCode::unsupported_bundle_format,
       "the manifest declares \"ai-stp-bundle/3\""},
      {set_member("/protocol_version", 2), ReasonCode::unsupported_protocol_version,
       "the manifest declares bundle protocol 2, and this reader speaks 1"},
      {set_member("/harness_id", "other\nharness"), kProfile,
       "the bundle is for harness \"other\\nharness\", and this provider configures "
       "\"velk-build\""},
  });
  BundleParts parts = make_bundle(sample_files());
  parts.manifest.erase("bundle_digest");
  expect_refused(read(parts), ReasonCode::unsupported_bundle_format,
                 "bundle.json does not parse: missing field `bundle_digest`");
}

TEST_F(ReadBundle, TakesTheIdentityOverCanonicalJson) {
  BundleParts parts = make_bundle(sample_files());
  // Reformatted white space between members keeps the identity.
  parts.manifest_text = parts.manifest.dump(4);
  expect_valid(read(parts));

  // One byte inside a string changes it.
  std::string text = *parts.manifest_text;
  text.replace(text.find("bundle-writer/1"), 15, "bundle-writer /1");
  parts.manifest_text = text;
  expect_refused(read(parts), ReasonCode::digest_mismatch,
                 "the manifest does not hash to the identity it declares");

  // A sealed change is a different bundle from the one the caller named.
  parts = make_bundle(sample_files());
  const std::string named = parts.bundle_digest();
  parts.manifest["builder_version"] = "bundle-writer/2";
  parts.seal();
  expect_refused(read_bundle(write_bundle(dir_ / "b.zip", parts.bytes(), named), RequestedScope::none),
                 ReasonCode::digest_mismatch,
                 "the manifest's identity is not the one the caller named");
}

TEST_F(ReadBundle, ToleratesAnUnreadablePassport) {
  BundleParts parts = make_bundle(sample_files());
  for (const auto& [passport, id] : std::vector<std::pair<std::string, std::string>>{
           {"not json", ""}, {R"({"stable_id":"only-id","version":7})", "only-id"}}) {
    parts.passport = passport;
    auto bundle = read(parts);
    expect_valid(bundle);
    EXPECT_EQ(bundle->setup_stable_id, id);
    EXPECT_EQ(bundle->setup_version, "");
  }
}

}  // namespace
}  // namespace velk::testing
