// Replacing a file whole: the bytes go to a staging file beside it, are
// flushed to stable storage, and the staging file is renamed over the
// destination, so a reader sees the old bytes or the new and a crash leaves
// at most a staging file behind. This is the one mechanism; its callers
// differ only in how the staging file is named and what they say when it
// fails:
//   - documents (the state file, the journal, slot records, holds):
//     write_file_atomically, staging ".{name}.staging";
//   - files written into a target: replace_file_at, a fresh random name, so
//     that no declared file can be another's staging file;
//   - the program directory's bin files: a sibling name of their own.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/fs_at.h"

namespace velk {

struct Replacement {
  // The staging file's name in the directory; empty for a fresh random one
  // (".velk-staging-" and 16 hexadecimal digits) created exclusively and
  // retried while taken. A leftover at a fixed name is removed first, never
  // opened, so a planted link or FIFO cannot redirect or block the write.
  std::string staging_name;
  // The permission bits the file gets before it is renamed into place;
  // without them it is created 0666 before the umask.
  std::optional<mode_t> mode;
  // Flush the directory after the rename (a caller writing many files into
  // one directory flushes it once itself).
  bool flush_directory = true;
  // Flush the file before the rename. A file written inside a journaled
  // change need not be: the journal puts the target back should the change
  // not finish, and the change flushes every file it wrote (its write-back
  // started here) before it records them.
  bool flush_file = true;
  // Given to the staging file before anything is written into it.
  std::optional<Owner> owner;
};

// What went wrong, for the caller's own message: the staging step (writing
// the staging file) or the promotion (the rename); `staging` is the name
// that was used.
struct ReplaceFailure {
  bool promoting = false;
  int err = 0;
  std::string staging;
};

// Whether a name is one replace_in_directory makes for a fresh staging file:
// what a process killed while writing leaves behind.
bool is_fresh_staging_name(std::string_view name);

// Replaces `name` in the directory `dir_fd` with exactly these bytes. On
// failure the staging file is gone and the destination is as it was.
Result<void, ReplaceFailure> replace_in_directory(int dir_fd, const std::string& name,
                                                  std::string_view bytes, const Replacement& how);

// Errors (state_unavailable): "{D} has no parent directory", "{D} has no
// usable file name", "cannot create {P}", "cannot stage {S}", "cannot
// promote {S} to {D}". A failure leaves the destination as it was and no
// staging file behind.
Status write_file_atomically(const std::string& destination, std::string_view bytes);

// The same inside an open directory, for a destination that must be reached
// without following a link: `name` is one component of `dir_fd`, and
// `dir_display` names the directory in messages.
Status write_file_atomically_at(int dir_fd, const std::string& dir_display, const std::string& name,
                                std::string_view bytes,
                                const std::optional<Owner>& owner = std::nullopt);

// A file written into a target by a journaled change: a fresh staging name,
// the mode given before the rename, its write-back started but neither it
// nor its directory flushed (the change flushes everything it wrote once,
// before its record). "cannot stage {display}", "cannot promote {display}"
// (state_unavailable, cause attached).
Status replace_file_at(int dir_fd, const std::string& name, std::string_view bytes, mode_t mode,
                       const std::string& display,
                       const std::optional<Owner>& owner = std::nullopt);

}  // namespace velk
