#include "core/path_rules.h"

#include <array>
#include <vector>

#include "core/text.h"

namespace velk {
namespace {

constexpr size_t kMaxPathBytes = 1024;
constexpr size_t kMaxSegmentBytes = 255;

// Names Windows keeps for devices whatever the extension; the last three of
// each port family end in the superscript digits ¹ ² ³.
constexpr std::array<std::string_view, 28> kReservedDevices = {
    "con",  "prn",  "aux",  "nul",
    "com1", "com2", "com3", "com4", "com5", "com6", "com7", "com8", "com9",
    "com\u00b9", "com\u00b2", "com\u00b3",
    "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9",
    "lpt\u00b9", "lpt\u00b2", "lpt\u00b3",
};

constexpr std::string_view kReservedCharacters = "\"*<>?|";

// Substrings of the lower-cased path that mark a credential file.
constexpr std::array<std::string_view, 9> kCredentialPatterns = {
    "credentials", ".credentials.json", "auth.json", ".netrc", "id_rsa",
    "id_ed25519",  ".pem",              ".p12",      "secrets",
};

std::vector<std::string_view> split_segments(std::string_view path) {
  std::vector<std::string_view> segments;
  size_t start = 0;
  while (true) {
    const size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      segments.push_back(path.substr(start));
      return segments;
    }
    segments.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
}

// The segment's reserved device name, or an empty view when it names none.
std::string_view reserved_device(std::string_view segment) {
  const std::string stem = unicode_lower(segment.substr(0, segment.find('.')));
  for (std::string_view device : kReservedDevices) {
    if (stem == device) return device;
  }
  return {};
}

Status check_segment(std::string_view segment, const std::string& quoted_path) {
  if (segment == "..")
    return refusal(ReasonCode::path_escapes_target, quoted_path + " climbs out of the target");
  if (segment.size() > kMaxSegmentBytes)
    return refusal(ReasonCode::limit_exceeded,
                  quoted_path + " has a segment longer than 255 bytes");
  if (segment.empty() || segment == ".")
    return refusal(ReasonCode::path_not_relative,
                  quoted_path + " has an empty or bare-dot segment");

  const std::string prefix = quoted_path + " has the segment " + quoted_form(segment) + ", which ";
  if (std::string_view device = reserved_device(segment); !device.empty())
    return refusal(ReasonCode::path_not_relative,
                  prefix + "names the reserved device " + std::string(device) +
                      " on Windows -- with or without an extension, and in any case");
  if (size_t at = segment.find_first_of(kReservedCharacters); at != std::string_view::npos)
    return refusal(ReasonCode::path_not_relative,
                  prefix + "carries '" + segment[at] +
                      "', one of the characters Windows reserves inside a name");
  if (segment.find(':') != std::string_view::npos)
    return refusal(ReasonCode::path_not_relative,
                  prefix + "carries a colon; on Windows that opens an alternate data stream "
                           "rather than naming a file, wherever in the segment it appears");
  if (segment.back() == ' ' || segment.back() == '.')
    return refusal(ReasonCode::path_not_relative,
                  prefix + "ends in a space or a period; Windows does not give a file or "
                           "directory such a name");
  return {};
}

bool has_control_character(std::string_view path) {
  for (char32_t c : utf8_code_points(path)) {
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) return true;
  }
  return false;
}

bool named_like_credential(std::string_view path) {
  const std::string lower = unicode_lower(path);
  for (std::string_view pattern : kCredentialPatterns) {
    if (lower.find(pattern) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

Status check_bundle_path(std::string_view path) {
  if (path.empty()) return refusal(ReasonCode::path_not_relative, "a bundle path is not empty");
  const std::string quoted = quoted_form(path);
  if (path.size() > kMaxPathBytes)
    return refusal(ReasonCode::limit_exceeded, quoted + " is longer than 1024 bytes");
  if (path[0] == '/' || path[0] == '\\' || path[0] == '~')
    return refusal(ReasonCode::path_not_relative, quoted + " is not relative");
  if (path.size() >= 2 && path[1] == ':')
    return refusal(ReasonCode::path_not_relative, quoted + " carries a drive letter");

  for (std::string_view segment : split_segments(path)) {
    VELK_TRY(check_segment(segment, quoted));
  }

  if (has_control_character(path))
    return refusal(ReasonCode::path_not_relative, quoted + " contains a control character");
  if (path.find('\\') != std::string_view::npos)
    return refusal(ReasonCode::path_not_relative, quoted + " uses a backslash separator");
  if (named_like_credential(path))
    return refusal(ReasonCode::special_file_not_allowed,
                  quoted + " is named like a credential and is refused by name");
  return {};
}

namespace {

Error entry_error(std::string message) {
  return make_error(ErrorKind::state_unavailable, std::move(message));
}

}  // namespace

Result<std::string> check_archive_entry_path(std::string_view name) {
  const std::string n(name);
  if (name.empty()) return entry_error("archive entry has an empty path");
  if (name[0] == '/' || name[0] == '\\')
    return entry_error("archive entry " + n + " is an absolute path");
  if (name.find('\\') != std::string_view::npos)
    return entry_error("archive entry " + n +
                             " contains a backslash, which names a different file on each system");
  if (name.find('\0') != std::string_view::npos)
    return entry_error("archive entry path contains a NUL byte");
  if (name.size() >= 2 && name[1] == ':')
    return entry_error("archive entry " + n + " carries a drive letter");
  for (std::string_view segment : split_segments(name)) {
    if (segment == "..") return entry_error("archive entry " + n + " climbs out of the destination");
  }
  return n;
}

}  // namespace velk
