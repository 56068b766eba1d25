// Limits and every declared file against the archive's members.
#include "support/bundle_fixture.h"
#include "core/digest.h"

namespace velk::testing {
namespace {

using BundleFiles = BundleTest;

std::map<std::string, FileSpec> numbered_skills(int count) {
  std::map<std::string, FileSpec> files;
  for (int i = 0; i < count; ++i) files["skills/s" + std::to_string(i) + ".md"] = {std::to_string(i)};
  return files;
}

// A bundle of the files whose manifest declares the limits.
BundleParts limited(const std::map<std::string, FileSpec>& files, const Json& limits) {
  return edited(files, set_member("/limits", limits));
}

TEST_F(BundleFiles, LimitsTightenButNeverLoosen) {
  expect_refused(read(limited(numbered_skills(4), {{"max_files", 3}})), ReasonCode::limit_exceeded,
                 "4 files declared against a limit of 3");
  expect_valid(read(limited(numbered_skills(4), {{"max_files", 4}})));
  expect_refused(read(limited(numbered_skills(2001), {{"max_files", 5000}})),
                 ReasonCode::limit_exceeded, "2001 files declared against a limit of 2000");

  const BundleParts small = limited(numbered_skills(2), {{"max_bundle_bytes", 100}});
  expect_refused(read(small), ReasonCode::limit_exceeded,
                 "the artifact is " + std::to_string(small.bytes().size()) +
                     " bytes against a limit of 100");
  expect_refused(read(limited({{"skills/big.md", {"12345"}}, {"skills/small.md", {"1234"}}},
                              {{"max_file_bytes", 4}, {"max_bundle_bytes", 1u << 30}})),
                 ReasonCode::limit_exceeded, "\"skills/big.md\" is larger than the declared file limit");
}

TEST_F(BundleFiles, RefusesLinksSpecialKindsAndOtherModes) {
  const std::string link = "\"skills/s1.md\" is declared as a link, which is never materialized";
  const std::string special = "\"skills/s1.md\" is declared as neither a file nor a link";
  expect_edits_refused(numbered_skills(3), {
      {set_member("/files/1/kind", "symlink"), ReasonCode::link_not_allowed, link},
      {set_member("/files/1/kind", "hardlink"), ReasonCode::link_not_allowed, link},
      {set_member("/files/1/kind", "directory"), ReasonCode::special_file_not_allowed, special},
      {erase_member("/files/1/kind"), ReasonCode::special_file_not_allowed, special},
      {set_member("/files/1/mode", 511), ReasonCode::unsupported_native_surface,
       "\"skills/s1.md\" declares mode 511, which is not allowed"},
      {set_member("/files/1/byte_length", 4194305), ReasonCode::limit_exceeded,
       "\"skills/s1.md\" is larger than the declared file limit"},
      {set_member("/files/1/byte_length", 2), ReasonCode::digest_mismatch,
       "\"skills/s1.md\" is 1 bytes, not 2"},
      {set_member("/files/1/digest", digest_bytes("other")), ReasonCode::digest_mismatch,
       "\"skills/s1.md\" does not hash to the digest that declares it"},
  });
}

TEST_F(BundleFiles, MatchesDeclaredFilesToArchiveMembers) {
  BundleParts parts = make_bundle(numbered_skills(3));
  parts.file_entries.erase(parts.file_entries.begin() + 1);
  expect_refused(read(parts), ReasonCode::digest_mismatch,
                 "the manifest declares \"skills/s1.md\", which the archive does not carry");

  // A directory entry does not carry a file.
  parts.file_entries.push_back(zip_entry("files/skills/s1.md/", ""));
  expect_refused(read(parts), ReasonCode::digest_mismatch,
                 "the manifest declares \"skills/s1.md\", which the archive does not carry");

  parts = make_bundle(numbered_skills(1));
  parts.file_entries.push_back(zip_entry("files/x", "x"));
  expect_refused(read(parts), ReasonCode::unsupported_native_surface,
                 "the archive carries \"x\", which the manifest does not declare");

  // Members outside "files/" and directory entries are not consulted.
  parts = make_bundle(numbered_skills(1));
  parts.file_entries.push_back(zip_entry("notes.txt", "hello"));
  parts.file_entries.push_back(zip_entry("files/", ""));
  parts.file_entries.push_back(zip_entry("files/skills/", ""));
  auto bundle = read(parts);
  expect_valid(bundle);
  EXPECT_EQ(bundle->files.size(), 1u);
}

TEST_F(BundleFiles, RefusesPathsThatCollide) {
  const std::pair<std::map<std::string, FileSpec>, std::string> cases[] = {
      {{{"Skills/a.md", {"A"}}, {"skills/a.md", {"a"}}},
       "\"skills/a.md\" and \"Skills/a.md\" differ only in case"},
      {{{"skills/a", {"1"}}, {"skills/a/b.md", {"2"}}},
       "\"skills/a/b.md\" lies below \"skills/a\", which is declared as a file"},
      {{{"skills/A", {"1"}}, {"skills/a/b/c.md", {"2"}}},
       "\"skills/a/b/c.md\" lies below \"skills/A\", which is declared as a file"},
  };
  for (const auto& [files, detail] : cases)
    expect_refused(read(make_bundle(files)), ReasonCode::path_duplicate, detail);
  // A shared name prefix is not nesting.
  expect_valid(read(make_bundle({{"skills/a", {"1"}}, {"skills/ab/c.md", {"2"}}, {"skills/a.md", {"3"}}})));

  // The same path twice passes every check of its own, then fails as a repeat.
  BundleParts parts = make_bundle(numbered_skills(2));
  parts.manifest["files"].push_back(parts.manifest["files"][0]);
  parts.seal();
  expect_refused(read(parts), ReasonCode::path_duplicate, "\"skills/s0.md\" is declared twice");
}

}  // namespace
}  // namespace velk::testing
