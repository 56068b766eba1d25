// Exposing a version: the command link, then the marker, then the record.
#include <unistd.h>

#include <cerrno>

#include "core/digest.h"
#include "core/fs.h"
#include "software/program_dir.h"

namespace velk {

namespace {

// The program's path relative to P, or the full path when it lies elsewhere.
std::string relative_to_prefix(const std::string& prefix, const std::string& program) {
  if (prefix == "/") return program.substr(1);
  if (program.size() > prefix.size() + 1 && program.compare(0, prefix.size(), prefix) == 0 &&
      program[prefix.size()] == '/')
    return program.substr(prefix.size() + 1);
  return program;
}

}  // namespace

Status expose_version(const std::string& prefix, std::string_view version) {
  const std::string command = command_path(prefix);
  const auto fail = [&](const std::string& reason) {
    return make_error(ErrorKind::state_unavailable, command + " could not be exposed: " + reason);
  };
  const std::string program =
      path_join(version_dir(prefix, version), program_in_version(version));

  const std::string bin = bin_dir(prefix);
  if (const int e = create_directories(bin); e != 0)
    return fail("cannot create " + bin + ": " + errno_text(e));

  // Whatever stands at the command's name goes, looked at without following
  // it: an older link, a plain file, anything.
  if (lstat_path(command)) {
    auto removed = remove_path(command);
    if (!removed.ok()) return fail(removed.error().full());
  }
  if (::symlink(program.c_str(), command.c_str()) != 0)
    return fail("cannot link " + command + " to " + program + ": " + errno_text(errno));

  auto marker = write_through_sibling(version_marker_path(prefix), version);
  if (!marker.ok()) return fail(marker.error().full());

  VELK_ASSIGN(const std::string digest, digest_file(program));
  const std::string record =
      installation_record(version, relative_to_prefix(prefix, program), digest);
  auto written = write_through_sibling(record_path(prefix), record);
  if (!written.ok()) return fail(written.error().full());
  return {};
}

}  // namespace velk
