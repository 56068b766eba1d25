// What an old stamp may claim: a plain relative path at or below an owned
// surface, never a never-touch path, never a way around either.
#include <gtest/gtest.h>

#include "cli/legacy_stamp.h"

namespace velk {
namespace {

TEST(LegacyStampClaims, OwnedOnlyByWholeSegments) {
  for (const char* owned : {"AGENTS.md", "skills", "skills/a/SKILL.md", "plugins/x.json",
                            "roles/r.md"})
    EXPECT_TRUE(claim_is_owned(owned)) << owned;
  for (const char* other : {"", "auth.json", "skillsx/a", "AGENTS.md.bak", "/skills/a",
                            "./skills/a", "skills//a", "skills/./a", "skills/../auth.json",
                            "skills/", "plugins/known_marketplaces.json", "sessions/s1"})
    EXPECT_FALSE(claim_is_owned(other)) << other;
  EXPECT_FALSE(claim_is_owned(std::string_view("skills/a\0b", 10)));
}

TEST(LegacyStampParse, SchemaIsJudgedBeforeTheMembers) {
  auto other = parse_legacy_stamp(R"({"schema_version":3})");
  ASSERT_TRUE(other.ok()) << other.error();
  EXPECT_EQ(other->found_schema, 3u);

  auto typed = parse_legacy_stamp(
      R"({"schema_version":1,"product_name":"p","build_version":"b","setup_id":"s",)"
      R"("canonical_target":"/t","managed_files":{"AGENTS.md":7}})");
  ASSERT_FALSE(typed.ok());
  EXPECT_EQ(typed.error(),
            "invalid type for field `managed_files`: expected a string for each path, found an "
            "integer");

  auto good = parse_legacy_stamp(
      R"({"schema_version":1,"product_name":"p","build_version":"b","setup_id":"s",)"
      R"("canonical_target":"/t","managed_files":{"b":"x","a":"y"},"extra":null})");
  ASSERT_TRUE(good.ok()) << good.error();
  ASSERT_TRUE(good->stamp);
  EXPECT_EQ(good->stamp->managed_files,
            (std::vector<std::pair<std::string, std::string>>{{"b", "x"}, {"a", "y"}}));
}

}  // namespace
}  // namespace velk
