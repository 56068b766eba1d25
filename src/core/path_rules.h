// The two rule sets for relative paths that arrive from outside: the strict,
// portable bundle path rules and the lighter archive entry rules.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"

namespace velk {

// Passes, or returns the first broken rule as a protocol error
// (path_not_relative, limit_exceeded, path_escapes_target or
// special_file_not_allowed) with its message.
Result<void, ProtocolError> check_bundle_path(std::string_view path);

// An archive entry error carries its message only. (A distinct type, since a
// Result whose value and error are both strings cannot be built.)
struct ArchiveEntryError {
  std::string message;
};

// Returns the name on success, or the archive entry error.
Result<std::string, ArchiveEntryError> check_archive_entry_path(std::string_view name);

}  // namespace velk
