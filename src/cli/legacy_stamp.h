// The stamp the earlier generation of setup tools left at the top of a
// target, as `adopt` reads it, and the checks adopt makes of what it claims.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/dir.h"
#include "core/error.h"
#include "core/json_fwd.h"

namespace velk {

inline constexpr uint64_t kLegacyStampSchema = 1;

struct LegacyStamp {
  std::string product_name;      // the tool that wrote it
  std::string build_version;     // that tool's build
  std::string setup_id;          // the setup it wrote
  std::string canonical_target;  // the path it was written for
  // Each claimed path, relative to the target, with the digest text of the
  // file's content as the old tools wrote it; in the stamp's order.
  std::vector<std::pair<std::string, std::string>> managed_files;
};

// Maps the stamp's text: the strict reader, then the schema before the
// other members. Errors are message texts ("missing field `{member}`",
// "duplicate field `{member}`", ...); a schema other than 1 is reported
// through `found_schema` instead, so the caller can word it.
struct StampParse {
  std::optional<LegacyStamp> stamp;
  std::optional<uint64_t> found_schema;  // set when the schema is not 1
};
Mapped<StampParse> parse_legacy_stamp(std::string_view text);

// True when the path is a plain relative path (no empty, "." or ".."
// segment, no leading "/", no NUL) that equals an owned surface or lies
// below one, and is neither a never-touch path nor below one.
bool claim_is_owned(std::string_view path);

// True when the target holds a regular file at the relative path, reached
// through real directories only (no link on the way), whose content hashes
// to `digest`. Absent, a link, anything but a regular file, or unreadable:
// false.
bool claimed_file_matches(const Dir& target, const std::string& relative,
                          const std::string& digest);

}  // namespace velk
