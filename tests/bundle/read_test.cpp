// Reading the file a claim names, and the manifest's own identity.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "bundle_fixture.h"
#include "core/digest.h"
#include "core/text.h"

namespace velk::testing {
namespace {

using ReadBundle = BundleTest;

TEST_F(ReadBundle, AcceptsAValidBundleAndKeepsItsFilesAndPassport) {
  const BundleParts parts = make_bundle(sample_files(), std::nullopt, "team-setup", "2.4.1");
  const BundleClaim claim = write_bundle(dir_ / "b.zip", parts);
  auto bundle = read_bundle(claim, RequestedScope::global);
  expect_valid(bundle);
  EXPECT_EQ(bundle->claim, claim);
  EXPECT_EQ(bundle->setup_stable_id, "team-setup");
  EXPECT_EQ(bundle->setup_version, "2.4.1");
  EXPECT_FALSE(bundle->bound_scope.has_value());
  EXPECT_EQ(bundle->manifest.bundle_digest, parts.bundle_digest());
  ASSERT_EQ(bundle->manifest.component_adaptations.size(), 2u);
  EXPECT_EQ(bundle->manifest.component_adaptations[1].provider_component_kind, "skill");
  ASSERT_EQ(bundle->files.size(), 2u);
  EXPECT_EQ(bundle->files.at("AGENTS.md").bytes, "# Agents\n");
  EXPECT_EQ(bundle->files.at("AGENTS.md").mode, 0644u);
  EXPECT_EQ(bundle->files.at("skills/review/SKILL.md").bytes, "review\n");
  EXPECT_EQ(bundle->files.at("skills/review/SKILL.md").mode, 0755u);
}

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
  auto pending = std::async(std::launch::async, [&] { expect_unreadable(fifo, "not a regular file"); });
  if (pending.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    // Release the blocked reader so the test can end, then fail.
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
    ADD_FAILURE() << "reading a FIFO waited for a writer";
  }
}

TEST_F(ReadBundle, ChecksTheClaimBeforeOpeningTheArchive) {
  const BundleParts parts = make_bundle(sample_files());
  BundleClaim claim = write_bundle(dir_ / "b.zip", parts);

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

  // The right size and a wrong digest fail before the bytes are read as an
  // archive: these are not one.
  const std::string garbage(claim.size, 'x');
  other = write_bundle(dir_ / "garbage.zip", garbage, claim.bundle_digest);
  other.artifact_digest = claim.artifact_digest;
  expect_refused(read_bundle(other, RequestedScope::none), ReasonCode::digest_mismatch,
                 "the artifact bytes do not hash to the digest that named them");
  other.artifact_digest = digest_bytes(garbage);
  expect_refused(read_bundle(other, RequestedScope::none), ReasonCode::unsupported_bundle_format,
                 "the artifact does not end with a comment-free end-of-central-directory record");
}

TEST_F(ReadBundle, ReportsTheManifestParserMessage) {
  BundleParts parts = make_bundle(sample_files());
  parts.manifest_text = "{\"schema_version\": 2,\n  \"protocol_version\": }";
  auto result = read(parts);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, ReasonCode::unsupported_bundle_format);
  EXPECT_TRUE(starts_with(result.error().message, "bundle.json does not parse: "));
  EXPECT_NE(result.error().message.find("line 2"), std::string::npos) << result.error().message;

  parts = make_bundle(sample_files());
  parts.manifest.erase("bundle_digest");
  expect_refused(read(parts), ReasonCode::unsupported_bundle_format,
                 "bundle.json does not parse: missing field `bundle_digest`");
}

TEST_F(ReadBundle, RefusesAnotherFormatProtocolOrHarness) {
  const struct {
    const char* field;
    Json value;
    ReasonCode code;
    std::string detail;
  } cases[] = {
      {"bundle_format", "ai-stp-bundle/3", ReasonCode::unsupported_bundle_format,
       "the manifest declares \"ai-stp-bundle/3\""},
      {"protocol_version", 2, ReasonCode::unsupported_protocol_version,
       "the manifest declares bundle protocol 2, and this reader speaks 1"},
      {"harness_id", "other\nharness", ReasonCode::projection_profile_mismatch,
       "the bundle is for harness \"other\\nharness\", and this provider configures "
       "\"velk-build\""},
  };
  for (const auto& c : cases) {
    BundleParts parts = make_bundle(sample_files());
    parts.manifest[c.field] = c.value;
    expect_refused(read(parts), c.code, c.detail);
  }
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
