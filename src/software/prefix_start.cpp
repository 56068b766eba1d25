#include "software/prefix_start.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/fs.h"
#include "core/text.h"
#include "software/program_dir.h"

namespace velk {

namespace {

constexpr std::string_view kIncoming = ".incoming-";
constexpr std::string_view kReplaced = ".replaced-";

Error scan_error(std::string message, const Error& cause) {
  return with_cause(ErrorKind::state_unavailable, std::move(message),
                    cause.has_cause() ? cause.cause : cause.message);
}

}  // namespace

Result<std::vector<std::string>> recover_prefix(const std::string& prefix) {
  VELK_ASSIGN(std::vector<std::string> names, list_directory(prefix));
  std::sort(names.begin(), names.end());
  std::vector<std::string> notes;
  for (const std::string& name : names) {
    const std::string path = path_join(prefix, name);
    if (starts_with(name, kIncoming) && is_version_name(name.substr(kIncoming.size()))) {
      const std::string version = name.substr(kIncoming.size());
      auto removed = remove_path(path);
      if (!removed.ok())
        return scan_error("the staged " + version + " tree could not be cleared", removed.error());
      notes.push_back("an install of " + version +
                      " was interrupted before it landed; the staged tree is gone and whatever "
                      "was installed is untouched");
    } else if (starts_with(name, kReplaced) && is_version_name(name.substr(kReplaced.size()))) {
      const std::string version = name.substr(kReplaced.size());
      const std::string installed = version_dir(prefix, version);
      if (!lstat_path(installed)) {
        if (std::rename(path.c_str(), installed.c_str()) != 0)
          return system_error(ErrorKind::state_unavailable,
                              "the previous " + version + " tree could not be put back", errno);
        notes.push_back("an install of " + version +
                        " failed after the installed tree stepped aside; it is back");
      } else {
        auto removed = remove_path(path);
        if (!removed.ok())
          return scan_error("the replaced " + version + " tree could not be cleared",
                            removed.error());
        notes.push_back("an install of " + version +
                        " landed and its cleanup did not; the new tree is in place and the old "
                        "one is gone");
      }
    } else if (ends_with(name, ".incoming")) {
      // A half-written file. One that cannot be removed is left for a later
      // run and not reported as cleared; a directory is no half-written file.
      const auto st = lstat_path(path);
      if (!st || S_ISDIR(st->st_mode)) continue;
      if (::unlink(path.c_str()) != 0) continue;
      notes.push_back("a half-written " + name + " was cleared");
    }
  }
  return notes;
}

Result<PrefixSession> start_prefix_operation(const std::string& prefix,
                                             std::string_view operation) {
  const std::string control = prefix_control_dir(prefix);
  for (const std::string& dir : {prefix, control}) {
    if (const int e = create_directories(dir); e != 0)
      return make_error(ErrorKind::state_unavailable,
                        "--prefix " + prefix + " cannot be created: " + errno_text(e));
  }
  PrefixSession session;
  VELK_ASSIGN(session.lock, lock_target(control));
  VELK_TRY(annotate_lock(session.lock, lock_annotation(operation)));
  VELK_ASSIGN(session.notes, recover_prefix(prefix));
  return session;
}

}  // namespace velk
