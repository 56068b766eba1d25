// The validated target, the control directory with its backup pool, and the
// target lock that keeps two processes from changing one target at once.
#pragma once

#include <string>
#include <string_view>

#include "core/dir.h"
#include "core/error.h"

namespace velk {

// A target that passed validate_target: canonicalised and opened once per
// command and passed on as this value, never as text again.
struct Target {
  std::string path;          // canonical target path, for messages
  std::string control_name;  // ".velk-setup-system"
  Dir dir;                   // the target itself
};

struct BackupPool {
  std::string path;      // control directory joined with "backups", for messages
  size_t capacity = 10;  // unheld complete slots kept by a prune
  Dir dir;               // not valid while there is no pool
};

// A target with its control directory and backup pool, each held by its
// descriptor from the moment it was checked: a link or another directory
// put in their place afterwards changes nothing this command does.
struct TargetStore {
  std::string target_path;
  std::string control_name;
  std::string control_dir;  // for messages
  BackupPool pool;
  Dir target;
  Dir control;  // not valid while there is no control directory
};

// Errors (invalid_target): "target must be absolute, got {text}", "target
// {path} cannot be inspected: {error}", "target {path} is a symbolic link",
// "target {path} is not a directory", "target {path} cannot be canonicalized
// and cannot be made absolute: {error}".
Result<Target> validate_target(std::string_view text);

// The store of a checked target as it is, creating nothing: the control
// directory and the pool are opened when they exist, as reading commands
// need them. A control directory that is a link or not a directory fails:
// "{path} exists but is not a plain directory" (invalid_target); a pool
// that is not a directory counts as none.
Result<TargetStore> locate_target_store(const Target& target);
// Validates the target text, then the same.
Result<TargetStore> locate_target_store(std::string_view text);

// Ensures the control directory (0700 when created, left as it is when
// present; never a link) and the pool directory of a checked target.
Result<TargetStore> open_target_store(const Target& target);
// Validates the target text, then the same.
Result<TargetStore> open_target_store(std::string_view text);

// An exclusive, non-blocking advisory lock on "{control dir}/target.lock",
// released when the value is destroyed (or by release()), on every path.
class TargetLock {
 public:
  TargetLock() = default;
  TargetLock(TargetLock&& other) noexcept;
  TargetLock& operator=(TargetLock&& other) noexcept;
  TargetLock(const TargetLock&) = delete;
  TargetLock& operator=(const TargetLock&) = delete;
  ~TargetLock();

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  bool held() const { return fd_ >= 0; }
  // Unlocks, leaves the registry and closes; the file stays.
  void release();

 private:
  // Only lock_target makes a held lock: its path is in the registry.
  friend Result<TargetLock> lock_target(const Dir& control);
  TargetLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

  std::string path_;
  int fd_ = -1;
};

// The lock file is opened inside the held control directory, never through
// a link, and must be a regular file with no other name (a hard link to a
// file elsewhere would have its content replaced by the annotation).
// Errors: "this process already holds {lock}" (lock_unavailable), "cannot
// open lock file {lock}" (state_unavailable), "another process holds
// {lock}" (lock_unavailable).
Result<TargetLock> lock_target(const Dir& control);

// Whether a change holds the target lock now: a non-blocking probe for a
// shared lock, released at once, that creates nothing (no control
// directory or no lock file: not held). For a planner that meets a journal
// or an incomplete slot and must tell a change in progress from one that
// was interrupted.
bool target_lock_held(const Dir& control);

// Replaces the lock file's content with the text, no newline: "cannot
// annotate {lock}" (state_unavailable).
Status annotate_lock(TargetLock& lock, std::string_view text);

// "velk-setup-system {operation}", the annotation of a change.
std::string lock_annotation(std::string_view operation);

}  // namespace velk
