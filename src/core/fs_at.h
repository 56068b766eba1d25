// File-system operations relative to directory descriptors. Every walk that
// writes or removes goes through here: each component is opened with
// O_NOFOLLOW, each entry is looked at with AT_SYMLINK_NOFOLLOW and removed
// with unlinkat, so a link met at any depth, even one swapped in while the
// walk runs, is handled as a link and never followed. Functions that
// return an int give 0 or the errno of the failure.
#pragma once

#include <sys/stat.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/fs.h"

namespace velk {

// Who owns what the program creates below a directory. Set when the running
// user is not the directory's owner (root provisioning another user's
// tree): every file, directory and link made there is given that owner
// before it is published, so the owner keeps full use of it.
struct Owner {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The owner a directory's new entries take: nullopt when the running user
// owns it (nothing to change), else its owner and group.
std::optional<Owner> owner_for(const struct stat& directory);

// Gives a new entry behind `fd` the owner; 0 or errno. Nothing without one.
int give_owner(int fd, const std::optional<Owner>& owner);

// Opens a directory by its full path for use as the root of later *at()
// calls; the final component must not be a link. Returns the descriptor, or
// -1 with errno set.
int open_directory(const std::string& path);

// Opens the directory `name` (one component) inside `dir_fd` without
// following a link. -1 with errno (ELOOP or ENOTDIR when something other
// than a directory is there) on failure.
int open_directory_at(int dir_fd, const std::string& name);

// Opens `relative` below `root_fd` with `flags` without following a link
// anywhere on the way: openat2 with RESOLVE_BENEATH, RESOLVE_NO_SYMLINKS and
// RESOLVE_NO_MAGICLINKS where the kernel has it, one O_NOFOLLOW component at
// a time otherwise. An empty path (or ".") opens `root_fd` again; a ".."
// component or an absolute path is refused (EINVAL). -1 with errno on
// failure: ELOOP or ENOTDIR means a link or a file stands in the way.
int open_beneath(int root_fd, std::string_view relative, int flags);

// Opens the directory at the "/"-separated `relative` path below `root_fd`
// as open_beneath does; with `create`, missing directories are made (mode
// 0777 before the umask) one component at a time and given `owner`.
int open_directory_beneath(int root_fd, std::string_view relative, bool create,
                           const std::optional<Owner>& owner = std::nullopt);

// Removes the entry `name` of `dir_fd` whole: a directory with everything
// below it, at any depth and with a bounded number of descriptors open; any
// other entry (a link is never followed) is unlinked. Absence is success.
int remove_entry_at(int dir_fd, const std::string& name);

// Removes `relative` below `root_fd` whole. A path whose parent is absent,
// or is a link or a file, holds nothing to remove: success.
int remove_beneath(int root_fd, std::string_view relative);

// The entry names of the directory behind `dir_fd` ("." and ".." left out),
// in listing order. Errors name `display`: "cannot list {display}",
// "cannot read an entry of {display}" (state_unavailable, cause attached).
Result<std::vector<std::string>> list_directory_at(int dir_fd, const std::string& display);

// After `relative` was removed below `root_fd`: removes the directories
// above it that are left empty, deepest first, stopping at the first one
// that is not empty, that `keep` names, or that lies `keep_depth` segments
// deep or less (with 1, a top-level directory always stays). Links are
// never followed; a directory that cannot be removed ends the walk
// quietly, since it only means something else is there.
void remove_empty_parents(int root_fd, std::string_view relative, size_t keep_depth,
                          const std::function<bool(const std::string& dir)>& keep = {});

// Reads a regular file `name` of `dir_fd` whole, without following a link
// and without waiting on a FIFO, refusing one larger than `max_bytes` as
// read_file does. `message` is the error message.
Result<std::string> read_file_at(int dir_fd, const std::string& name, std::string message,
                                 struct stat* st = nullptr, uint64_t max_bytes = kUnbounded);

// Copies one regular file `name` of `src_fd` to a new file `name` of
// `dst_fd` (created exclusively, never through a link, given `owner`): bytes
// cloned where the file system can, copied otherwise, and the permission
// bits 0777 of the source (never set-user-ID, set-group-ID or sticky).
// Returns 0 or errno; EINVAL marks a source that is not a regular file.
// With `written`, the new file's descriptor (write-back started) is handed
// over there instead of closed, for a FlushQueue.
int copy_file_at(int src_fd, const std::string& src_name, int dst_fd, const std::string& dst_name,
                 const std::optional<Owner>& owner = std::nullopt, Fd* written = nullptr);

// The error for copy_file_at's errno `err` copying `from` to `to`:
// "cannot copy {from} to {to}" with the system's text, or with the cause
// "not a regular file" for EINVAL.
Error copy_failure(const std::string& from, const std::string& to, int err);

// The files and directories one change writes, flushed in the order they
// were written with at most `depth` kept open: each file's write-back
// started when it was written, so by the time the queue is full and the
// oldest is flushed (fdatasync of a file, fsync of a directory) it is
// mostly done. No second walk of what was written, and only this change's
// writes are waited for. Dropping the queue closes what it holds unflushed.
class FlushQueue {
 public:
  explicit FlushQueue(size_t depth = 64) : depth_(depth) {}
  // A written file (directory = false) or a directory whose entries this
  // change made. Returns 0 or the errno of a flush.
  int add(Fd fd, bool directory);
  // Flushes everything still held; 0 or the first errno met.
  int finish();

 private:
  int flush_oldest();
  size_t depth_;
  std::deque<std::pair<Fd, bool>> held_;
  int first_error_ = 0;
};

struct TreeCopyHooks {
  // The owner of every directory and file made.
  std::optional<Owner> owner;
  // Relative paths (below the copy's root, "/"-joined) that are neither
  // written nor descended into.
  std::function<bool(const std::string& relative)> spare;
  // Runs after each file is written, with the destination directory, the
  // file's name in it and its relative path.
  std::function<Status(int dst_dir_fd, const std::string& name, const std::string& relative)>
      after_file;
  // Where each file written and each directory copied into goes to be
  // flushed (the root `dst_fd` excepted: its caller flushes it).
  FlushQueue* flush = nullptr;
};

// Copies everything below the directory `src_fd` into the directory
// `dst_fd`. Directories are made, files copied as copy_file_at does; a link
// refuses the whole copy ("{path} is a symbolic link and is not captured",
// integrity_mismatch); a name that is not UTF-8 refuses it ("{path} has a
// name this kernel cannot represent"). Other failures: "cannot list {dir}",
// "cannot read an entry of {dir}", "cannot stat {path}", "cannot create
// {dir}", "cannot copy {source} to {destination}" (state_unavailable, cause
// attached). The display paths name the two roots in messages.
Status copy_tree_at(int src_fd, const std::string& src_display, int dst_fd,
                    const std::string& dst_display, const TreeCopyHooks& hooks = {});

// Flushes the directory behind a descriptor; 0 or errno.
int sync_directory_fd(int dir_fd);

// Flushes a tree this change wrote: every regular file below the
// directory `dir_fd` (its data, fdatasync) and every directory (fsync), the
// directories after what is in them, and `dir_fd` itself last. Links are
// never followed. Only this change's data is waited for, never what other
// processes are writing to the same file system. 0 or the first errno.
int flush_tree_at(int dir_fd);

}  // namespace velk
