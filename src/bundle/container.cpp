#include "bundle/container.h"

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <unordered_set>

#include "archive/zip_records.h"
#include "core/text.h"

namespace velk {
namespace {

constexpr uint16_t kPinnedDate = 0x0021;  // 1980-01-01

constexpr std::string_view kTimestampMessage =
    "a bundle member's timestamp is pinned to 1980-01-01T00:00:00; a local clock in the archive "
    "would make the same input produce different bytes";

Error format_error(std::string detail) {
  return refusal(ReasonCode::unsupported_bundle_format, std::move(detail));
}

Error truncated() { return format_error("the artifact is truncated"); }

// A fixed-size record of the artifact at `at`, or nullptr when it would run
// past the end.
const unsigned char* record_at(std::string_view artifact, uint64_t at, size_t size) {
  if (at > artifact.size() || size > artifact.size() - at) return nullptr;
  return reinterpret_cast<const unsigned char*>(artifact.data()) + at;
}

// The span [at, at + size), or nullopt when it runs past the end.
std::optional<std::string_view> span(std::string_view artifact, uint64_t at, uint64_t size) {
  if (at > artifact.size() || size > artifact.size() - at) return std::nullopt;
  return artifact.substr(at, size);
}

// Reads the local header of a member whose central entry passed, and
// returns a view of its stored data.
Result<std::string_view> local_data(std::string_view artifact, uint64_t offset,
                                    std::string_view name, uint32_t size) {
  const std::string quoted = quoted_form(name);
  const unsigned char* bytes = record_at(artifact, offset, kZipLocalSize);
  if (!bytes) return truncated();
  const std::optional<ZipLocalHeader> local = decode_zip_local(bytes);
  if (!local) return format_error("member " + quoted + " has no local header");
  if (local->method != 0) return format_error("member " + quoted + " is compressed");
  if (local->time != 0 || local->date != kPinnedDate)
    return format_error(std::string(kTimestampMessage));
  if (local->extra_length != 0)
    return format_error("member " + quoted + " carries a local extra field");
  const auto local_name = span(artifact, offset + kZipLocalSize, local->name_length);
  if (local_name && *local_name != name)
    return format_error("member " + quoted + " is named differently in its local header");
  if (!local_name) {
    // A local name that runs past the end cannot equal the central one
    // unless the lengths agree; then it is the member that is cut short.
    if (local->name_length != name.size())
      return format_error("member " + quoted + " is named differently in its local header");
    return format_error("member " + quoted + " is truncated");
  }
  const auto data = span(artifact, offset + kZipLocalSize + local->name_length, size);
  if (!data) return format_error("member " + quoted + " is truncated");
  return *data;
}

uint32_t crc_of(std::string_view data) {
  uLong crc = ::crc32_z(0L, Z_NULL, 0);
  crc = ::crc32_z(crc, reinterpret_cast<const Bytef*>(data.data()), data.size());
  return static_cast<uint32_t>(crc);
}

// The four fixed members come first, in their order; with fewer members the
// first missing one is named.
Status check_fixed_positions(const std::vector<std::string_view>& names) {
  constexpr std::string_view kFixed[] = {kManifestMember, kPassportMember, kCompositionMember,
                                         kConversionMember};
  for (size_t i = 0; i < std::size(kFixed); ++i) {
    if (i >= names.size()) return format_error("the bundle has no " + quoted_form(kFixed[i]));
    if (names[i] != kFixed[i])
      return format_error("member " + std::to_string(i) + " is " + quoted_form(names[i]) +
                          ", not " + quoted_form(kFixed[i]));
  }
  return {};
}

}  // namespace

Result<std::vector<BundleMember>> read_container(std::string_view artifact) {
  if (artifact.size() < kZipEndSize) return format_error("the artifact is too short to be a ZIP");
  const uint64_t end_at = artifact.size() - kZipEndSize;
  const std::optional<ZipEndRecord> end = decode_zip_end(record_at(artifact, end_at, kZipEndSize));
  if (!end)
    return format_error("the artifact does not end with a comment-free end-of-central-directory record");
  if (end->disk != 0 || end->central_disk != 0)
    return format_error("a bundle is a single-disk archive");
  const uint16_t total = end->total_entries;
  if (end->entries_on_disk != total) return format_error("the central directory spans disks");
  if (end->comment_length != 0) return format_error("a bundle carries no archive comment");

  if (total > kMaxContainerMembers)
    return refusal(ReasonCode::limit_exceeded,
                   "the archive lists " + std::to_string(total) + " members against a limit of " +
                       std::to_string(kMaxContainerMembers));

  // First the directory alone: every entry's header and name, no member's
  // bytes. A name listed twice fails here, so no entry can make the reader
  // look at the same bytes again; the fixed positions are still reported
  // before it, as the layout check would.
  struct Entry {
    ZipCentralHeader header;
    std::string_view name;
  };
  std::vector<Entry> entries;
  entries.reserve(std::min<uint64_t>(total, artifact.size() / kZipCentralSize));
  std::unordered_set<std::string_view> names;
  std::optional<std::string_view> repeated;
  uint64_t at = end->central_offset;
  for (uint32_t i = 0; i < total; ++i) {
    const unsigned char* bytes = record_at(artifact, at, kZipCentralSize);
    const std::optional<ZipCentralHeader> h =
        bytes ? decode_zip_central(bytes) : std::optional<ZipCentralHeader>();
    if (!h) {
      // A header cut short by the end of the artifact is reported as such
      // when what is there still begins like one.
      const unsigned char* signature = record_at(artifact, at, 4);
      if (!signature || (!bytes && zip_u32(signature) == kZipCentralSignature)) return truncated();
      return format_error("central directory entry " + std::to_string(i) + " is malformed");
    }
    if (h->made_by_host != 3)
      return format_error("every bundle member is written by a Unix creator");
    if (h->flags != 0) return format_error("a bundle member sets no general-purpose flags");
    if (h->method != 0) return format_error("a bundle member is stored, never compressed");
    if (h->time != 0 || h->date != kPinnedDate) return format_error(std::string(kTimestampMessage));
    if (h->compressed_size != h->size) return format_error("a stored member's two sizes disagree");
    if (h->extra_length != 0 || h->comment_length != 0)
      return format_error("a bundle member carries no extra or comment field");
    const auto name = span(artifact, at + kZipCentralSize, h->name_length);
    if (!name) return format_error("a member name runs past the end of the artifact");
    if (!is_valid_utf8(*name)) return format_error("a member name is not valid UTF-8");
    if (!names.insert(*name).second && !repeated) repeated = *name;
    entries.push_back({*h, *name});
    at += kZipCentralSize + h->name_length;
  }
  if (repeated) {
    std::vector<std::string_view> listed;
    listed.reserve(entries.size());
    for (const Entry& entry : entries) listed.push_back(entry.name);
    VELK_TRY(check_fixed_positions(listed));
    return refusal(ReasonCode::path_duplicate, "member " + quoted_form(*repeated) + " appears twice");
  }

  std::vector<BundleMember> members;
  members.reserve(entries.size());
  uint64_t claimed = 0;  // bytes the members so far say they hold
  for (const Entry& entry : entries) {
    const ZipCentralHeader& h = entry.header;
    VELK_ASSIGN(const std::string_view data, local_data(artifact, h.local_offset, entry.name, h.size));
    // Entries that share their bytes would make the walk read (and check)
    // more than the artifact holds.
    claimed += uint64_t{h.size} + kZipLocalSize + h.name_length;
    if (claimed > artifact.size())
      return format_error("the archive's members claim more bytes than the artifact holds");
    if (crc_of(data) != h.crc)
      return refusal(ReasonCode::digest_mismatch,
                     "member " + quoted_form(entry.name) + " does not match its recorded CRC");

    BundleMember member;
    member.name.assign(entry.name);
    member.bytes = data;
    member.mode = (h.external_attributes >> 16) & 07777;
    member.mode_present = member.mode != 0;
    members.push_back(std::move(member));
  }
  return members;
}

Result<std::string_view> check_member_layout(const std::vector<BundleMember>& members) {
  std::vector<std::string_view> names;
  names.reserve(members.size());
  for (const BundleMember& member : members) names.push_back(member.name);
  VELK_TRY(check_fixed_positions(names));
  return members.front().bytes;
}

}  // namespace velk
