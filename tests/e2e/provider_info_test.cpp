// provider-info through the binary.
#include <gtest/gtest.h>

#include "core/digest.h"
#include "product/facts.h"
#include "support/runner.h"

namespace velk {
namespace {

std::string keys_of(const Json& object) {
  std::string keys;
  for (auto it = object.begin(); it != object.end(); ++it) keys += it.key() + " ";
  return keys;
}

// The profile's digest, recomputed from the published object without it.
std::string digest_without_digest(Json profile) {
  profile.erase("digest");
  return *digest_document(kProjectionTag, profile);
}

TEST(ProviderInfo, PrintsOneStableCompactDocumentWithBothProfiles) {
  const auto first = testing::run_velk({"provider-info"});
  EXPECT_EQ(first.exit_code, 0);
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.out, testing::run_velk({"provider-info"}).out);
  ASSERT_FALSE(first.out.empty());
  EXPECT_EQ(first.out.find('\n'), first.out.size() - 1);
  EXPECT_EQ(first.out.find(": "), std::string::npos);

  const Json doc = Json::parse(first.out);
  EXPECT_EQ(keys_of(doc),
            "protocol_version provider_id harness_id provider_version provider_build_digest "
            "supported_commands supported_operations supported_os supported_arch "
            "permission_profiles projection_profile scoped_projection_profiles "
            "status_request_fields plan_request_fields ");
  EXPECT_EQ(doc["provider_build_digest"], *provider_build_digest());
  EXPECT_EQ(doc["supported_commands"].dump(),
            R"(["provider-info","validate-bundle","plan-operation","apply-operation",)"
            R"("recover-operation","status","launch"])");
  EXPECT_EQ(doc["plan_request_fields"].dump(), R"(["target_scope","end_state"])");

  const Json& main = doc["projection_profile"];
  ASSERT_EQ(doc["scoped_projection_profiles"].size(), 1u);
  const Json& user_root = doc["scoped_projection_profiles"][0];
  const std::string members =
      "profile_id digest component_kinds projection_kinds native_namespaces bundle_formats "
      "max_files max_bytes ";
  EXPECT_EQ(keys_of(main), members);
  EXPECT_EQ(keys_of(user_root), members + "target_scope ");
  EXPECT_EQ(user_root["target_scope"], "user_root");
  EXPECT_EQ(main["profile_id"], "velk/native-and-plugins/1");
  EXPECT_EQ(user_root["profile_id"], "velk/native-files/user-root/1");
  EXPECT_EQ(user_root["native_namespaces"].dump(), R"(["skills"])");
  EXPECT_EQ(main["digest"], digest_without_digest(main));
  EXPECT_EQ(user_root["digest"], digest_without_digest(user_root));
  EXPECT_NE(main["digest"], user_root["digest"]);
}

}  // namespace
}  // namespace velk
