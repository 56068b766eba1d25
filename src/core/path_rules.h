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
Status check_bundle_path(std::string_view path);

// Returns the name on success; an archive entry error carries its message
// only (state_unavailable, no cause): it fails the software operation that
// was extracting.
Result<std::string> check_archive_entry_path(std::string_view name);

}  // namespace velk
