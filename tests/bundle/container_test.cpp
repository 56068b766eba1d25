#include "bundle/container.h"

#include <deque>

#include "support/bundle_fixture.h"

namespace velk::testing {
namespace {

constexpr std::string_view kTimestamp =
    "a bundle member's timestamp is pinned to 1980-01-01T00:00:00; a local clock in the archive "
    "would make the same input produce different bytes";
constexpr ReasonCode kFormat = ReasonCode::unsupported_bundle_format;

ZipArchive sample_archive() { return make_bundle(sample_files()).archive(); }

// The members are views into the artifact, as they are in the program, so
// the artifacts read here are kept for the rest of the test program.
Result<std::vector<BundleMember>> read_archive(const ZipArchive& archive) {
  static std::deque<std::string> artifacts;
  artifacts.push_back(serialise_zip(archive));
  return read_container(artifacts.back());
}

// The bytes with a 16-bit little-endian field at `at` set to `v`.
std::string with16(std::string bytes, size_t at, uint16_t v) {
  bytes[at] = static_cast<char>(v & 0xff);
  bytes[at + 1] = static_cast<char>(v >> 8);
  return bytes;
}

TEST(BundleContainer, RefusesABrokenEndRecord) {
  const struct {
    void (*mutate)(ZipArchive&);
    std::string_view detail;
  } cases[] = {
      {[](ZipArchive& a) { a.comment = "x"; },
       "the artifact does not end with a comment-free end-of-central-directory record"},
      {[](ZipArchive& a) { a.disk = 1; }, "a bundle is a single-disk archive"},
      {[](ZipArchive& a) { a.central_disk = 2; }, "a bundle is a single-disk archive"},
      {[](ZipArchive& a) { a.entries_on_disk = 3; }, "the central directory spans disks"},
      // Entry 6 would start at the end record.
      {[](ZipArchive& a) { a.total_entries = a.entries_on_disk = 7; },
       "central directory entry 6 is malformed"},
      {[](ZipArchive& a) { a.central_offset = 0x7fffffff; }, "the artifact is truncated"},
  };
  for (const auto& c : cases) {
    ZipArchive archive = sample_archive();
    c.mutate(archive);
    expect_refused(read_archive(archive), kFormat, std::string(c.detail));
  }

  const std::string valid = serialise_zip(sample_archive());
  // The last central entry.
  const size_t last = valid.size() - 22 - 46 - std::string("files/skills/review/SKILL.md").size();
  const std::pair<std::string, std::string> damaged[] = {
      {valid.substr(0, 21), "the artifact is too short to be a ZIP"},
      // A comment length without the comment: the record is still the last 22 bytes.
      {with16(valid, valid.size() - 2, 1), "a bundle carries no archive comment"},
      {with16(valid, last + 28, 0xffff), "a member name runs past the end of the artifact"},
      {with16(valid, last + 44, 0x7f00), "the artifact is truncated"},  // its local header's offset
  };
  for (const auto& [bytes, detail] : damaged)
    expect_refused(read_container(bytes), kFormat, detail);
}

TEST(BundleContainer, RefusesEntriesOutsideTheShape) {
  const std::string member = "member \"files/skills/review/SKILL.md\" ";
  const std::string extra = "a bundle member carries no extra or comment field";
  const struct {
    void (*mutate)(ZipEntry&);
    std::string detail;
    ReasonCode code = kFormat;
  } cases[] = {
      // The central entry.
      {[](ZipEntry& e) { e.version_made_by = 0x0014; },
       "every bundle member is written by a Unix creator"},
      // A data descriptor (bit 3), on both headers as writers set it.
      {[](ZipEntry& e) { e.flags = e.local_flags.emplace(0x0008); },
       "a bundle member sets no general-purpose flags"},
      {[](ZipEntry& e) { e.method = 8; }, "a bundle member is stored, never compressed"},
      {[](ZipEntry& e) { e.date = 0x0022; }, std::string(kTimestamp)},  // 1980-01-02
      {[](ZipEntry& e) { e.time = 1; }, std::string(kTimestamp)},
      {[](ZipEntry& e) { e.compressed_size = 3; }, "a stored member's two sizes disagree"},
      {[](ZipEntry& e) { e.extra = std::string("\x55\x54\x00\x00", 4); }, extra},
      {[](ZipEntry& e) { e.comment = "c"; }, extra},
      {[](ZipEntry& e) { e.name = "files/\xff"; }, "a member name is not valid UTF-8"},
      {[](ZipEntry& e) { e.crc = crc32_of(e.data) ^ 1; },
       member + "does not match its recorded CRC", ReasonCode::digest_mismatch},
      // The local header.
      {[](ZipEntry& e) { e.local_signature = 0x08074B50; }, member + "has no local header"},
      {[](ZipEntry& e) { e.local_method = 8; }, member + "is compressed"},
      {[](ZipEntry& e) { e.local_date = 0x0022; }, std::string(kTimestamp)},
      {[](ZipEntry& e) { e.local_extra = std::string("\x55\x54\x00\x00", 4); },
       member + "carries a local extra field"},
      {[](ZipEntry& e) { e.local_name = "files/skills/review/skill.md"; },
       member + "is named differently in its local header"},
      {[](ZipEntry& e) { e.local_name = "files/skills/review/SKILL.m"; },
       member + "is named differently in its local header"},
      {[](ZipEntry& e) { e.compressed_size = e.uncompressed_size = 0x00ffffff; },
       member + "is truncated"},
  };
  for (const auto& c : cases) {
    ZipArchive archive = sample_archive();
    c.mutate(archive.entries.back());
    expect_refused(read_archive(archive), c.code, c.detail);
  }
  // Local flags are not consulted.
  ZipArchive archive = sample_archive();
  archive.entries.back().local_flags = 0x0800;
  expect_valid(read_archive(archive));
}

TEST(BundleContainer, ChecksTheMemberLayout) {
  const ZipArchive valid = sample_archive();
  const auto members = read_archive(valid);  // the manifest is a view into them
  auto manifest = check_member_layout(*members);
  expect_valid(manifest);
  EXPECT_EQ(*manifest, valid.entries[0].data);

  const auto walked = [&](void (*mutate)(ZipArchive&)) {
    ZipArchive archive = valid;
    mutate(archive);
    return read_archive(archive);
  };
  const auto layout = [&](auto mutate) { return check_member_layout(*walked(mutate)); };

  expect_refused(layout([](ZipArchive& a) { std::swap(a.entries[0], a.entries[1]); }), kFormat,
                 "member 0 is \"setup-passport.json\", not \"bundle.json\"");
  expect_refused(layout([](ZipArchive& a) { a.entries.resize(1); }), kFormat,
                 "the bundle has no \"setup-passport.json\"");
  expect_refused(layout([](ZipArchive& a) { a.entries[3].name = "conversion\treport.json"; }),
                 kFormat, "member 3 is \"conversion\\treport.json\", not \"conversion-report.json\"");
  // A repeated name fails as the directory is walked, but a misplaced fixed
  // member is reported by its position even when its name repeats.
  expect_refused(walked([](ZipArchive& a) {
                   a.entries.push_back(zip_entry("files/a", "1"));
                   a.entries.push_back(zip_entry("files/a", "2"));
                 }),
                 ReasonCode::path_duplicate, "member \"files/a\" appears twice");
  expect_refused(walked([](ZipArchive& a) { a.entries.push_back(a.entries[0]); }),
                 ReasonCode::path_duplicate, "member \"bundle.json\" appears twice");
  expect_refused(walked([](ZipArchive& a) { a.entries[1] = a.entries[0]; }), kFormat,
                 "member 1 is \"bundle.json\", not \"setup-passport.json\"");
  expect_refused(walked([](ZipArchive& a) {
                   a.entries.resize(2);
                   a.entries.push_back(a.entries[1]);
                 }),
                 kFormat, "member 2 is \"setup-passport.json\", not \"composition-report.json\"");
  expect_refused(walked([](ZipArchive& a) {
                   a.entries.resize(3);
                   a.entries.push_back(zip_entry("files/a", "1"));
                   a.entries.push_back(zip_entry("files/a", "2"));
                 }),
                 kFormat, "member 3 is \"files/a\", not \"conversion-report.json\"");
}

}  // namespace
}  // namespace velk::testing
