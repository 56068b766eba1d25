#include "bundle/container.h"

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <set>

#include "core/text.h"

namespace velk {
namespace {

constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr size_t kEndSize = 22;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr uint16_t kPinnedDate = 0x0021;  // 1980-01-01

constexpr std::string_view kTimestampMessage =
    "a bundle member's timestamp is pinned to 1980-01-01T00:00:00; a local clock in the archive "
    "would make the same input produce different bytes";

Error format_error(std::string detail) {
  return refusal(ReasonCode::unsupported_bundle_format, std::move(detail));
}

Error truncated() { return format_error("the artifact is truncated"); }

// Little-endian reads that fail when the field would run past the artifact.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  std::optional<uint16_t> u16(uint64_t at) const {
    if (at + 2 > bytes_.size()) return std::nullopt;
    return static_cast<uint16_t>(byte(at) | byte(at + 1) << 8);
  }
  std::optional<uint32_t> u32(uint64_t at) const {
    if (at + 4 > bytes_.size()) return std::nullopt;
    return byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 | static_cast<uint32_t>(byte(at + 3)) << 24;
  }
  // The span [at, at + size), or nullopt when it runs past the end.
  std::optional<std::string_view> span(uint64_t at, uint64_t size) const {
    if (at > bytes_.size() || size > bytes_.size() - at) return std::nullopt;
    return bytes_.substr(at, size);
  }

 private:
  uint32_t byte(uint64_t at) const { return static_cast<unsigned char>(bytes_[at]); }
  std::string_view bytes_;
};

#define VELK_FIELD(var, expr)          \
  const auto var##_field = (expr);     \
  if (!var##_field) return truncated(); \
  const auto var = *var##_field

// Reads the local header of a member whose central entry passed, and
// returns a view of its stored data.
Result<std::string_view> local_data(const Reader& in, uint64_t offset, std::string_view name,
                                            uint32_t size) {
  const std::string quoted = quoted_form(name);
  VELK_FIELD(signature, in.u32(offset));
  if (signature != kLocalSignature) return format_error("member " + quoted + " has no local header");
  VELK_FIELD(method, in.u16(offset + 8));
  if (method != 0) return format_error("member " + quoted + " is compressed");
  VELK_FIELD(time, in.u16(offset + 10));
  VELK_FIELD(date, in.u16(offset + 12));
  if (time != 0 || date != kPinnedDate) return format_error(std::string(kTimestampMessage));
  VELK_FIELD(name_length, in.u16(offset + 26));
  VELK_FIELD(extra_length, in.u16(offset + 28));
  if (extra_length != 0) return format_error("member " + quoted + " carries a local extra field");
  const auto local_name = in.span(offset + kLocalSize, name_length);
  if (local_name && *local_name != name)
    return format_error("member " + quoted + " is named differently in its local header");
  if (!local_name) {
    // A local name that runs past the end cannot equal the central one
    // unless the lengths agree; then it is the member that is cut short.
    if (name_length != name.size())
      return format_error("member " + quoted + " is named differently in its local header");
    return format_error("member " + quoted + " is truncated");
  }
  const auto data = in.span(offset + kLocalSize + name_length, size);
  if (!data) return format_error("member " + quoted + " is truncated");
  return *data;
}

uint32_t crc_of(std::string_view data) {
  uLong crc = ::crc32_z(0L, Z_NULL, 0);
  crc = ::crc32_z(crc, reinterpret_cast<const Bytef*>(data.data()), data.size());
  return static_cast<uint32_t>(crc);
}

}  // namespace

Result<std::vector<BundleMember>> read_container(std::string_view artifact) {
  if (artifact.size() < kEndSize) return format_error("the artifact is too short to be a ZIP");
  const Reader in(artifact);
  const uint64_t end = artifact.size() - kEndSize;
  if (*in.u32(end) != kEndSignature)
    return format_error("the artifact does not end with a comment-free end-of-central-directory record");
  if (*in.u16(end + 4) != 0 || *in.u16(end + 6) != 0)
    return format_error("a bundle is a single-disk archive");
  const uint16_t total = *in.u16(end + 10);
  if (*in.u16(end + 8) != total) return format_error("the central directory spans disks");
  if (*in.u16(end + 20) != 0) return format_error("a bundle carries no archive comment");

  std::vector<BundleMember> members;
  members.reserve(std::min<uint64_t>(total, artifact.size() / kCentralSize));
  uint64_t at = *in.u32(end + 16);
  for (uint32_t i = 0; i < total; ++i) {
    VELK_FIELD(signature, in.u32(at));
    if (signature != kCentralSignature)
      return format_error("central directory entry " + std::to_string(i) + " is malformed");
    VELK_FIELD(made_by, in.u16(at + 4));
    if ((made_by >> 8) != 3) return format_error("every bundle member is written by a Unix creator");
    VELK_FIELD(flags, in.u16(at + 8));
    if (flags != 0) return format_error("a bundle member sets no general-purpose flags");
    VELK_FIELD(method, in.u16(at + 10));
    if (method != 0) return format_error("a bundle member is stored, never compressed");
    VELK_FIELD(time, in.u16(at + 12));
    VELK_FIELD(date, in.u16(at + 14));
    if (time != 0 || date != kPinnedDate) return format_error(std::string(kTimestampMessage));
    VELK_FIELD(compressed, in.u32(at + 20));
    VELK_FIELD(size, in.u32(at + 24));
    if (compressed != size) return format_error("a stored member's two sizes disagree");
    VELK_FIELD(extra_length, in.u16(at + 30));
    VELK_FIELD(comment_length, in.u16(at + 32));
    if (extra_length != 0 || comment_length != 0)
      return format_error("a bundle member carries no extra or comment field");
    VELK_FIELD(name_length, in.u16(at + 28));
    const auto name = in.span(at + kCentralSize, name_length);
    if (!name) return format_error("a member name runs past the end of the artifact");
    if (!is_valid_utf8(*name)) return format_error("a member name is not valid UTF-8");
    // The name ends after every fixed field, so these reads cannot fail.
    const uint32_t crc = *in.u32(at + 16);
    const uint32_t attributes = *in.u32(at + 38);
    const uint32_t local_offset = *in.u32(at + 42);

    VELK_ASSIGN(const std::string_view data, local_data(in, local_offset, *name, size));
    if (crc_of(data) != crc)
      return refusal(ReasonCode::digest_mismatch,
                           "member " + quoted_form(*name) + " does not match its recorded CRC");

    BundleMember member;
    member.name.assign(*name);
    member.bytes.assign(data);
    member.mode = (attributes >> 16) & 07777;
    member.mode_present = member.mode != 0;
    members.push_back(std::move(member));
    at += kCentralSize + name_length;
  }
  return members;
}

Result<std::string_view> check_member_layout(const std::vector<BundleMember>& members) {
  constexpr std::string_view kFixed[] = {kManifestMember, kPassportMember, kCompositionMember,
                                         kConversionMember};
  for (size_t i = 0; i < std::size(kFixed); ++i) {
    if (i >= members.size()) return format_error("the bundle has no " + quoted_form(kFixed[i]));
    if (members[i].name != kFixed[i])
      return format_error("member " + std::to_string(i) + " is " + quoted_form(members[i].name) +
                          ", not " + quoted_form(kFixed[i]));
  }
  std::set<std::string_view> seen;
  for (const BundleMember& member : members) {
    if (!seen.insert(member.name).second)
      return refusal(ReasonCode::path_duplicate,
                           "member " + quoted_form(member.name) + " appears twice");
  }
  return std::string_view(members.front().bytes);
}

}  // namespace velk
