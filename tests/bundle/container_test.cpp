#include "bundle/container.h"

#include <gtest/gtest.h>

#include "bundle_fixture.h"

namespace velk::testing {
namespace {

constexpr std::string_view kTimestamp =
    "a bundle member's timestamp is pinned to 1980-01-01T00:00:00; a local clock in the archive "
    "would make the same input produce different bytes";

ZipArchive sample_archive() { return make_bundle(sample_files()).archive(); }

ProtocolResult<std::vector<BundleMember>> read_archive(const ZipArchive& archive) {
  return read_container(serialise_zip(archive));
}

void set16(std::string& bytes, size_t at, uint16_t v) {
  bytes[at] = static_cast<char>(v & 0xff);
  bytes[at + 1] = static_cast<char>(v >> 8);
}

TEST(BundleContainer, ReadsMembersInCentralDirectoryOrderWithTheirModes) {
  ZipArchive archive = sample_archive();
  archive.entries.push_back(zip_entry("files/empty", "", 0));
  auto members = read_archive(archive);
  expect_valid(members);
  ASSERT_EQ(members->size(), 7u);
  EXPECT_EQ((*members)[0].name, "bundle.json");
  EXPECT_EQ((*members)[4].name, "files/AGENTS.md");
  EXPECT_EQ((*members)[4].bytes, "# Agents\n");
  EXPECT_EQ((*members)[4].mode, 0644u);
  EXPECT_EQ((*members)[5].mode, 0755u);
  EXPECT_TRUE((*members)[5].mode_present);
  // Zero external attributes: no mode at all.
  EXPECT_FALSE((*members)[6].mode_present);
  EXPECT_EQ((*members)[6].bytes, "");
  // Set-user-id and sticky bits survive the mask; the file type does not.
  archive.entries[6].external_attributes = file_attributes(05701);
  EXPECT_EQ((*read_archive(archive))[6].mode, 05701u);
  // An archive of no members reads as an empty list.
  EXPECT_TRUE(read_archive(ZipArchive{})->empty());
}

TEST(BundleContainer, RefusesABrokenEndRecord) {
  const std::string valid = serialise_zip(sample_archive());
  expect_refused(read_container(valid.substr(0, 21)), ReasonCode::unsupported_bundle_format,
                 "the artifact is too short to be a ZIP");

  ZipArchive commented = sample_archive();
  commented.comment = "x";
  expect_refused(read_archive(commented), ReasonCode::unsupported_bundle_format,
                 "the artifact does not end with a comment-free end-of-central-directory record");

  ZipArchive split = sample_archive();
  split.disk = 1;
  expect_refused(read_archive(split), ReasonCode::unsupported_bundle_format,
                 "a bundle is a single-disk archive");
  split = sample_archive();
  split.central_disk = 2;
  expect_refused(read_archive(split), ReasonCode::unsupported_bundle_format,
                 "a bundle is a single-disk archive");

  ZipArchive spanning = sample_archive();
  spanning.entries_on_disk = 3;
  expect_refused(read_archive(spanning), ReasonCode::unsupported_bundle_format,
                 "the central directory spans disks");

  // A comment length without the comment: the record is still the last 22
  // bytes.
  std::string lying = valid;
  set16(lying, lying.size() - 2, 1);
  expect_refused(read_container(lying), ReasonCode::unsupported_bundle_format,
                 "a bundle carries no archive comment");
}

TEST(BundleContainer, RefusesCentralEntriesOutsideTheShape) {
  struct Case {
    void (*mutate)(ZipEntry&);
    std::string_view detail;
  };
  const Case cases[] = {
      {[](ZipEntry& e) { e.version_made_by = 0x0014; },
       "every bundle member is written by a Unix creator"},
      // Data descriptors (bit 3), on both headers as writers set them.
      {[](ZipEntry& e) { e.flags = e.local_flags.emplace(0x0008); },
       "a bundle member sets no general-purpose flags"},
      {[](ZipEntry& e) { e.flags = 0x0800; }, "a bundle member sets no general-purpose flags"},
      {[](ZipEntry& e) { e.method = 8; }, "a bundle member is stored, never compressed"},
      {[](ZipEntry& e) { e.date = 0x0022; }, kTimestamp},  // 1980-01-02
      {[](ZipEntry& e) { e.time = 1; }, kTimestamp},
      {[](ZipEntry& e) { e.compressed_size = 3; }, "a stored member's two sizes disagree"},
      {[](ZipEntry& e) { e.extra = std::string("\x55\x54\x00\x00", 4); },
       "a bundle member carries no extra or comment field"},
      {[](ZipEntry& e) { e.comment = "c"; }, "a bundle member carries no extra or comment field"},
      {[](ZipEntry& e) { e.name = "files/\xff"; }, "a member name is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    ZipArchive archive = sample_archive();
    c.mutate(archive.entries.back());
    expect_refused(read_archive(archive), ReasonCode::unsupported_bundle_format,
                   std::string(c.detail));
  }
}

TEST(BundleContainer, RefusesLocalHeadersThatDisagree) {
  struct Case {
    void (*mutate)(ZipEntry&);
    std::string_view detail;
  };
  const Case cases[] = {
      {[](ZipEntry& e) { e.local_signature = 0x08074B50; },
       "member \"files/skills/review/SKILL.md\" has no local header"},
      {[](ZipEntry& e) { e.local_method = 8; },
       "member \"files/skills/review/SKILL.md\" is compressed"},
      {[](ZipEntry& e) { e.local_date = 0x0022; }, kTimestamp},
      {[](ZipEntry& e) { e.local_extra = std::string("\x55\x54\x00\x00", 4); },
       "member \"files/skills/review/SKILL.md\" carries a local extra field"},
      {[](ZipEntry& e) { e.local_name = "files/skills/review/skill.md"; },
       "member \"files/skills/review/SKILL.md\" is named differently in its local header"},
      {[](ZipEntry& e) { e.local_name = "files/skills/review/SKILL.m"; },
       "member \"files/skills/review/SKILL.md\" is named differently in its local header"},
      {[](ZipEntry& e) { e.compressed_size = e.uncompressed_size = 0x00ffffff; },
       "member \"files/skills/review/SKILL.md\" is truncated"},
  };
  for (const Case& c : cases) {
    ZipArchive archive = sample_archive();
    c.mutate(archive.entries.back());
    expect_refused(read_archive(archive), ReasonCode::unsupported_bundle_format,
                   std::string(c.detail));
  }
  // Local flags are not consulted.
  ZipArchive archive = sample_archive();
  archive.entries.back().local_flags = 0x0800;
  expect_valid(read_archive(archive));
}

TEST(BundleContainer, ChecksTheCrcOfEveryMember) {
  ZipArchive archive = sample_archive();
  archive.entries[2].crc = crc32_of(archive.entries[2].data) ^ 1;
  expect_refused(read_archive(archive), ReasonCode::digest_mismatch,
                 "member \"composition-report.json\" does not match its recorded CRC");
}

TEST(BundleContainer, RefusesEntriesAndFieldsPastTheEnd) {
  ZipArchive archive = sample_archive();
  archive.total_entries = archive.entries_on_disk = 7;
  // Entry 6 would start at the end record.
  expect_refused(read_archive(archive), ReasonCode::unsupported_bundle_format,
                 "central directory entry 6 is malformed");

  archive = sample_archive();
  archive.central_offset = 0x7fffffff;
  expect_refused(read_archive(archive), ReasonCode::unsupported_bundle_format,
                 "the artifact is truncated");

  // The last central entry's name length reaches past the artifact.
  std::string bytes = serialise_zip(sample_archive());
  const size_t last_entry = bytes.size() - 22 - 46 - std::string("files/skills/review/SKILL.md").size();
  set16(bytes, last_entry + 28, 0xffff);
  expect_refused(read_container(bytes), ReasonCode::unsupported_bundle_format,
                 "a member name runs past the end of the artifact");

  // A local header offset beyond the artifact.
  bytes = serialise_zip(sample_archive());
  bytes[last_entry + 45] = '\x7f';
  expect_refused(read_container(bytes), ReasonCode::unsupported_bundle_format,
                 "the artifact is truncated");
}

TEST(BundleContainer, ChecksTheMemberLayout) {
  const ZipArchive valid = sample_archive();
  auto members = read_archive(valid);
  auto manifest = check_member_layout(*members);
  expect_valid(manifest);
  EXPECT_EQ(*manifest, valid.entries[0].data);

  ZipArchive swapped = valid;
  std::swap(swapped.entries[0], swapped.entries[1]);
  expect_refused(check_member_layout(*read_archive(swapped)), ReasonCode::unsupported_bundle_format,
                 "member 0 is \"setup-passport.json\", not \"bundle.json\"");

  ZipArchive only_manifest = valid;
  only_manifest.entries.resize(1);
  expect_refused(check_member_layout(*read_archive(only_manifest)),
                 ReasonCode::unsupported_bundle_format,
                 "the bundle has no \"setup-passport.json\"");

  ZipArchive renamed = valid;
  renamed.entries[3].name = "conversion\treport.json";
  expect_refused(check_member_layout(*read_archive(renamed)), ReasonCode::unsupported_bundle_format,
                 "member 3 is \"conversion\\treport.json\", not \"conversion-report.json\"");

  // A repeated name fails before anything looks at the manifest.
  ZipArchive twice = valid;
  twice.entries.push_back(zip_entry("files/a", "1"));
  twice.entries.push_back(zip_entry("files/a", "2"));
  expect_refused(check_member_layout(*read_archive(twice)), ReasonCode::path_duplicate,
                 "member \"files/a\" appears twice");
  twice = valid;
  twice.entries.push_back(valid.entries[0]);
  expect_refused(check_member_layout(*read_archive(twice)), ReasonCode::path_duplicate,
                 "member \"bundle.json\" appears twice");
}

}  // namespace
}  // namespace velk::testing
