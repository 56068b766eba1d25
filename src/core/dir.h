// An open directory: a descriptor, the path it was opened as (for messages
// only), and the owner its new entries take. Everything below it is reached
// relative to the descriptor and never through a path string again, so a
// directory checked once cannot be swapped for a link or another directory
// afterwards: what is held is what was checked. Only relative operations
// are offered; each refuses "..", absolute names and links in the way.
// Copies share the descriptor, which closes with the last of them.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/fs.h"
#include "core/fs_at.h"

namespace velk {

class Dir {
 public:
  Dir() = default;

  // Opens the directory at an absolute path as the root of what is reached
  // below it; a final link is refused (ELOOP), anything but a directory too
  // (ENOTDIR). When the running user is not its owner, what is created below
  // it takes that owner. Errno on failure.
  static Result<Dir, int> open_root(const std::string& path);

  bool valid() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_ ? fd_->get() : -1; }
  // The path the directory was opened as, for messages.
  const std::string& path() const { return path_; }
  // A path below it, for messages.
  std::string below(std::string_view relative) const { return path_join(path_, relative); }
  const std::optional<Owner>& owner() const { return owner_; }
  // Gives a new entry behind `fd` this directory's owner; 0 or errno.
  int own(int fd) const { return give_owner(fd, owner_); }

  // The directory at `relative` below this one (empty: this one again),
  // never following a link. Errno on failure: ENOENT absent, ENOTDIR or
  // ELOOP a file or a link in the way.
  Result<Dir, int> open(std::string_view relative) const;
  // The same, making the missing directories (`mode` before the umask),
  // each given the owner.
  Result<Dir, int> open_or_make(std::string_view relative, mode_t mode = 0777) const;
  // Makes the new directory `name` (EEXIST when anything is there), gives it
  // the owner and opens it.
  Result<Dir, int> make(const std::string& name, mode_t mode = 0777) const;

  // The status of the entry at `relative`, a link not followed; nullopt
  // when it is absent (or a parent is not a directory), with any other
  // failure's errno in *err (0 otherwise).
  std::optional<struct stat> stat(std::string_view relative, int* err = nullptr) const;
  // The entry names, in listing order: "cannot list {path}", "cannot read
  // an entry of {path}".
  Result<std::vector<std::string>> list() const;
  // A regular file at `relative`, read whole as read_file_at reads it
  // (non-blocking, no link followed, `max_bytes` at most).
  Result<std::string> read(std::string_view relative, std::string message,
                           uint64_t max_bytes = kUnbounded, struct stat* st = nullptr) const;
  // Replaces the document `name` through ".{name}.staging" (write_file_
  // atomically_at), given the owner.
  Status write(const std::string& name, std::string_view bytes) const;

  // Renames within this directory, or into `to_dir`; 0 or errno.
  int rename(const std::string& from, const std::string& to) const;
  int move_to(const std::string& from, const Dir& to_dir, const std::string& to) const;
  // Unlinks the entry `name` (never a directory); 0 or errno, ENOENT as is.
  int unlink(const std::string& name) const;
  // Removes the entry at `relative` whole, links never followed; absence is
  // success. 0 or errno.
  int remove(std::string_view relative) const;
  // Flushes the directory's entries; 0 or errno.
  int sync() const;

 private:
  Dir(int fd, std::string path, std::optional<Owner> owner)
      : fd_(std::make_shared<const Fd>(fd)), path_(std::move(path)), owner_(owner) {}

  std::shared_ptr<const Fd> fd_;
  std::string path_;
  std::optional<Owner> owner_;
};

}  // namespace velk
