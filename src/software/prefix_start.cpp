#include "software/prefix_start.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/fs.h"
#include "product/declaration.h"
#include "core/text.h"
#include "software/program_dir.h"

namespace velk {

namespace {

constexpr std::string_view kIncoming = ".incoming-";
constexpr std::string_view kReplaced = ".replaced-";

}  // namespace

Result<std::vector<std::string>> recover_prefix(const Dir& prefix) {
  VELK_ASSIGN(std::vector<std::string> names, prefix.list());
  std::sort(names.begin(), names.end());
  std::vector<std::string> notes;
  const auto removal_error = [&](std::string message, int err) {
    return with_cause(ErrorKind::state_unavailable, std::move(message), errno_text(err));
  };
  for (const std::string& name : names) {
    if (starts_with(name, kIncoming) && is_version_name(name.substr(kIncoming.size()))) {
      const std::string version = name.substr(kIncoming.size());
      if (const int e = prefix.remove(name); e != 0)
        return removal_error("the staged " + version + " tree could not be cleared", e);
      notes.push_back("an install of " + version +
                      " was interrupted before it landed; the staged tree is gone and whatever "
                      "was installed is untouched");
    } else if (starts_with(name, kReplaced) && is_version_name(name.substr(kReplaced.size()))) {
      const std::string version = name.substr(kReplaced.size());
      if (!prefix.stat(version)) {
        if (const int e = prefix.rename(name, version); e != 0)
          return system_error(ErrorKind::state_unavailable,
                              "the previous " + version + " tree could not be put back", e);
        notes.push_back("an install of " + version +
                        " failed after the installed tree stepped aside; it is back");
      } else {
        if (const int e = prefix.remove(name); e != 0)
          return removal_error("the replaced " + version + " tree could not be cleared", e);
        notes.push_back("an install of " + version +
                        " landed and its cleanup did not; the new tree is in place and the old "
                        "one is gone");
      }
    } else if (ends_with(name, ".incoming")) {
      // A half-written file. One that cannot be removed is left for a later
      // run and not reported as cleared; a directory is no half-written file.
      const auto st = prefix.stat(name);
      if (!st || S_ISDIR(st->st_mode)) continue;
      if (prefix.unlink(name) != 0) continue;
      notes.push_back("a half-written " + name + " was cleared");
    }
  }
  return notes;
}

Result<OpenedPrefix> open_prefix(const std::string& prefix) {
  const auto failed = [&](int e) {
    return make_error(ErrorKind::state_unavailable,
                      "--prefix " + prefix + " cannot be created: " + errno_text(e));
  };
  // The prefix and the directories above it are made by path; everything
  // below it is reached through its descriptor.
  if (const int e = create_directories(prefix); e != 0) return failed(e);
  VELK_ASSIGN(Dir dir, open_existing_prefix(prefix));
  if (!dir.valid()) return failed(ENOENT);  // removed again meanwhile
  auto control = dir.open_or_make(declaration().control_dir_name);
  if (!control.ok()) return failed(control.error());
  return OpenedPrefix{std::move(dir), std::move(control).value()};
}

Result<PrefixSession> start_prefix_operation(const std::string& prefix,
                                             std::string_view operation) {
  VELK_ASSIGN(OpenedPrefix opened, open_prefix(prefix));
  PrefixSession session;
  session.prefix = std::move(opened.prefix);
  VELK_ASSIGN(session.lock, lock_target(opened.control));
  VELK_TRY(annotate_lock(session.lock, lock_annotation(operation)));
  VELK_ASSIGN(session.notes, recover_prefix(session.prefix));
  return session;
}

}  // namespace velk
