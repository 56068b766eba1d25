#include "product/facts.h"

#include <gtest/gtest.h>

#include "core/digest.h"
#include "core/json.h"

namespace velk {
namespace {

TEST(KitIdentity, IsTheShippedPrettyPrintedDocument) {
  const std::string_view text = kit_identity_text();
  EXPECT_EQ(text.size(), 332u);
  auto parsed = parse_json(text);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  // Members in this order; the aggregate names the kit's file list and stays
  // fixed across builds.
  const Json expected = {
      {"aggregate_digest",
       digest_bytes("ai-stp-provider-kit 0.2.9\nconformance-cases.json\nmanifest.json\n"
                    "provider-info.schema.json\nstatus-response.schema.json\n")},
      {"files", {"conformance-cases.json", "manifest.json", "provider-info.schema.json",
                 "status-response.schema.json"}},
      {"kit_version", "0.2.9"},
      {"protocol_version", 3},
      {"schema", "ai-stp-provider-kit-identity/1"}};
  EXPECT_EQ(compact_json(*parsed), compact_json(expected));
}

TEST(BuildDigest, HashesTheCanonicalFacts) {
  const std::string aggregate = "sha256:" + std::string(64, '1');
  const std::string kit = R"({"aggregate_digest":")" + aggregate + R"(","kit_version":"9"})";
  EXPECT_EQ(*build_digest_from(kit),
            digest_bytes(R"({"harness_id":"velk-build","kit_aggregate_digest":")" + aggregate +
                         R"(","protocol_version":3,"provider_id":"velk-setup-system",)"
                         R"("provider_version":"0.0.63"})"));
  // Only the aggregate of the kit counts.
  EXPECT_EQ(*build_digest_from(R"({"aggregate_digest":")" + aggregate + R"("})"),
            *build_digest_from(kit));
  EXPECT_NE(*build_digest_from(R"({"aggregate_digest":"sha256:)" + std::string(64, '2') + "\"}"),
            *build_digest_from(kit));
  // A kit that names no aggregate hashes it as null.
  EXPECT_EQ(*build_digest_from("{}"), digest_bytes(*canonical_json(provider_facts(nullptr))));
  EXPECT_EQ(*provider_build_digest(), *build_digest_from(kit_identity_text()));
}

TEST(BuildDigest, RefusesAnUnreadableKitIdentity) {
  const std::string prefix = "the vendored kit identity is unreadable: ";
  for (const char* text : {"{", "[]", "{} x"}) {
    const std::string message = build_digest_from(text).error().message;
    EXPECT_TRUE(message.starts_with(prefix) && message.size() > prefix.size()) << message;
  }
}

}  // namespace
}  // namespace velk
