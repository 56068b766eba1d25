// The validated target, the control directory with its backup pool, and the
// target lock that keeps two processes from changing one target at once.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"

namespace velk {

// A target that passed validate_target: canonicalised once per command and
// passed on as this value, never as text again.
struct Target {
  std::string path;          // canonical target path
  std::string control_name;  // ".velk-setup-system"
};

struct BackupPool {
  std::string dir;       // control directory joined with "backups"
  size_t capacity = 10;  // unheld complete slots kept by a prune
};

struct TargetStore {
  std::string target_path;
  std::string control_name;
  std::string control_dir;
  BackupPool pool;
};

// Errors (invalid_target): "target must be absolute, got {text}", "target
// {path} cannot be inspected: {error}", "target {path} is a symbolic link",
// "target {path} is not a directory", "target {path} cannot be canonicalized
// and cannot be made absolute: {error}".
Result<Target> validate_target(std::string_view text);

// The store of a checked target without creating anything: the paths of
// the control directory and the pool, as reading commands need them.
TargetStore store_of(const Target& target);
// Validates the target text, then store_of.
Result<TargetStore> locate_target_store(std::string_view text);

// Ensures the control directory (0700 when created, left as it is when
// present) and the pool directory of a checked target.
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
  friend Result<TargetLock> lock_target(const std::string& control_dir);
  TargetLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

  std::string path_;
  int fd_ = -1;
};

// Errors: "this process already holds {lock}" (lock_unavailable), "cannot
// open lock file {lock}" (state_unavailable), "another process holds
// {lock}" (lock_unavailable).
Result<TargetLock> lock_target(const std::string& control_dir);

// Whether a change holds the target lock now: a non-blocking probe for a
// shared lock, released at once, that creates nothing (no lock file: not
// held). For a planner that meets a journal or an incomplete slot and must
// tell a change in progress from one that was interrupted.
bool target_lock_held(const std::string& control_dir);

// Replaces the lock file's content with the text, no newline: "cannot
// annotate {lock}" (state_unavailable).
Status annotate_lock(TargetLock& lock, std::string_view text);

// "velk-setup-system {operation}", the annotation of a change.
std::string lock_annotation(std::string_view operation);

}  // namespace velk
