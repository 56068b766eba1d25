#include "product/facts.h"

#include <gtest/gtest.h>

#include "core/digest.h"
#include "core/json.h"

namespace velk {
namespace {

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
