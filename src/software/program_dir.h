// The program directory under a prefix P: one tree per installed version
// (P/{version}), the command P/bin/velk linking to the exposed version's
// program, the marker P/bin/.velk.version naming that version and the
// installation record P/bin/.velk.manifest.json. Files in P/bin are replaced
// through a sibling and a rename, so a reader sees the old bytes or the new.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/dir.h"
#include "core/error.h"

namespace velk {

// The prefix as paths are built from it: trailing separators dropped ("/"
// stays "/").
std::string prefix_path(std::string_view prefix);

// The paths of the layout, for a prefix already passed through prefix_path.
std::string version_dir(const std::string& prefix, std::string_view version);
std::string incoming_dir(const std::string& prefix, std::string_view version);  // P/.incoming-V
std::string replaced_dir(const std::string& prefix, std::string_view version);  // P/.replaced-V
std::string bin_dir(const std::string& prefix);
std::string command_path(const std::string& prefix);         // P/bin/velk
std::string version_marker_path(const std::string& prefix);  // P/bin/.velk.version
std::string record_path(const std::string& prefix);          // P/bin/.velk.manifest.json
std::string prefix_control_dir(const std::string& prefix);   // P/.velk-setup-system

// The program of a version, relative to its tree: the build's entry point
// for an archive of a pinned version, otherwise the command word.
std::string program_in_version(std::string_view version);

// True for a name that can be a version tree directly under P: not empty,
// not starting with ".", no "/", not "bin".
bool is_version_name(std::string_view name);

// The sibling a file is written through: "{name}.incoming" for a name that
// begins with ".", ".{name}.incoming" otherwise.
std::string sibling_name(const std::string& name);

// Writes the whole content to the sibling of `name` in `dir`, flushes it and
// renames it over the file; the directory is flushed after the rename. A
// leftover sibling is replaced, never followed; the new file takes the
// directory's owner. Errors (state_unavailable, cause attached): "cannot
// write {sibling}", "cannot replace {path} with {sibling}".
Status write_through_sibling(const Dir& dir, const std::string& name, std::string_view bytes);

// The installation record's exact bytes: compact JSON, members in the order
// schema_version, version, executable, executable_sha256, no final line feed.
// Every "\" in the executable path is written as "/".
std::string installation_record(std::string_view version, std::string_view executable,
                                std::string_view executable_sha256);

struct Inventory {
  std::vector<std::string> installed;   // version trees under P, byte order
  std::optional<std::string> exposed;   // the marker's version, when installed
};

// The prefix opened for reading, or an invalid Dir when it does not exist.
// The prefix itself must not be a link: "--prefix {P} is a symbolic link,
// which this build does not follow" (invalid_target).
Result<Dir> open_existing_prefix(const std::string& prefix);

// Reads P without changing it. A prefix that does not exist holds nothing;
// only real directories are version trees, and a marker is read only from
// a real P/bin. Error: the listing's own ("cannot list {P}",
// state_unavailable).
Result<Inventory> take_inventory(const Dir& prefix);
// Opens the prefix for reading first.
Result<Inventory> take_inventory(const std::string& prefix);

// Points P/bin/velk at the program of `version` (an absolute link), then
// writes the marker and the installation record through their siblings.
// P/bin and the version tree are reached beneath the prefix's descriptor;
// either one a link is refused. Failures: "{command} could not be exposed:
// {reason}" (state_unavailable), or the program digest's own error.
// Nothing already done is undone.
Status expose_version(const Dir& prefix, std::string_view version);

}  // namespace velk
