// Capture of a backup slot, the rolling reclamation of old slots, and the
// state file kept beside each slot's payload.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "core/fs_at.h"
#include "core/interrupt.h"
#include "core/json.h"
#include "core/text.h"
#include "product/declaration.h"
#include "store/identity.h"
#include "store/pool.h"
#include "store/pool_files.h"
#include "store/state.h"

namespace velk {

namespace {

Status capture_surface(int target_fd, const std::string& target, int payload_fd,
                       const std::string& payload, const std::string& surface) {
  const std::string from = path_join(target, surface);
  const std::string name = file_name(surface);
  const auto link_refusal = [](const std::string& path) {
    return make_error(ErrorKind::integrity_mismatch, path + " is a symbolic link and is not captured");
  };
  Fd source_dir(open_directory_beneath(target_fd, parent_path(surface), false));
  if (source_dir.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};  // not in the target
    if (errno == ELOOP) return link_refusal(path_join(target, parent_path(surface)));
    return system_error(ErrorKind::state_unavailable, "cannot stat " + from, errno);
  }
  struct stat st;
  if (::fstatat(source_dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return {};
    return system_error(ErrorKind::state_unavailable, "cannot stat " + from, errno);
  }
  if (S_ISLNK(st.st_mode)) return link_refusal(from);
  const std::string to = path_join(payload, surface);
  Fd destination_dir(open_directory_beneath(payload_fd, parent_path(surface), true));
  if (destination_dir.get() < 0)
    return system_error(ErrorKind::state_unavailable, "cannot create " + parent_path(to), errno);
  if (S_ISDIR(st.st_mode)) {
    Fd source(open_directory_at(source_dir.get(), name));
    if (source.get() < 0) {
      if (errno == ELOOP) return link_refusal(from);
      return system_error(ErrorKind::state_unavailable, "cannot list " + from, errno);
    }
    if (::mkdirat(destination_dir.get(), name.c_str(), 0777) != 0)
      return system_error(ErrorKind::state_unavailable, "cannot create " + to, errno);
    Fd destination(open_directory_at(destination_dir.get(), name));
    if (destination.get() < 0)
      return system_error(ErrorKind::state_unavailable, "cannot create " + to, errno);
    // A request to stop is obeyed between two files.
    TreeCopyHooks hooks;
    hooks.after_file = [](int, const std::string&, const std::string&) -> Status {
      if (interrupt_requested()) return interrupted_before_change();
      return {};
    };
    return copy_tree_at(source.get(), from, destination.get(), to, hooks);
  }
  if (const int e = copy_file_at(source_dir.get(), name, destination_dir.get(), name); e != 0) {
    if (e == EINVAL)
      return with_cause(ErrorKind::state_unavailable, "cannot copy " + from + " to " + to,
                        "not a regular file");
    return system_error(ErrorKind::state_unavailable, "cannot copy " + from + " to " + to, e);
  }
  return {};
}

// Keeps the target's state file (or the fact that it had none) with the
// slot, so recovery can put back the record that describes the payload.
Status keep_previous_state(const std::string& target, const std::string& slot_dir) {
  const std::string state_path = path_join(target, declaration().state_file_name);
  auto bytes = read_file_at(AT_FDCWD, state_path, "cannot read " + state_path, nullptr,
                            kStateFileCap);
  if (bytes.ok())
    return write_file_atomically(path_join(slot_dir, kPreviousStateName), *bytes);
  const int e = bytes.error().sys_errno;
  if (e != ENOENT && e != ENOTDIR) return std::move(bytes).error();
  return write_file_atomically(path_join(slot_dir, kPreviousStateAbsentName), "");
}


Error prune_failure(const std::string& path, const Error& cause) {
  // The removal's own message names the entry; the system error is what
  // the caller needs beside "cannot prune".
  Error e = with_cause(ErrorKind::state_unavailable, "cannot prune " + path, cause.cause);
  e.sys_errno = cause.sys_errno;
  return e;
}

// Removes what an interrupted prune left under its ".pruning-" names.
Status clear_prune_leftovers(const BackupPool& pool) {
  VELK_ASSIGN(const auto names, list_pool(pool));
  for (const auto& name : names) {
    if (!starts_with(name, kPruningPrefix)) continue;
    const std::string path = path_join(pool.dir, name);
    if (auto removed = remove_path(path); !removed.ok()) return prune_failure(path, removed.error());
  }
  return {};
}

// Copies the surfaces and the state file into a new slot and makes them
// durable, stopping between two files when asked to. A slot stopped that
// way is taken away again: it was never complete and holds nothing that
// anyone needs.
Status fill_slot(const std::string& target, int payload_fd, const std::string& payload,
                 const std::string& slot_dir, const std::vector<std::string>& surfaces) {
  const auto filled = [&]() -> Status {
    Fd target_fd(open_directory(target));
    if (target_fd.get() < 0)
      return system_error(ErrorKind::state_unavailable, "cannot list " + target, errno);
    for (const auto& surface : surfaces) {
      VELK_TRY(capture_surface(target_fd.get(), target, payload_fd, payload, surface));
      if (interrupt_requested()) return interrupted_before_change();
    }
    VELK_TRY(keep_previous_state(target, slot_dir));
    // The payload reaches the disk before the record that calls the slot
    // complete: after a power cut, a record over files that never landed
    // would restore empty files over good ones. One flush of the file
    // system, not one per file: each costs a device flush.
    if (const int e = sync_file_system_fd(payload_fd); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot flush backup slot " + slot_dir, e);
    if (interrupt_requested()) return interrupted_before_change();
    return {};
  }();
  if (!filled.ok() && stopped_before_change()) (void)remove_path(slot_dir);
  return filled;
}

}  // namespace

Result<std::string> encode_slot_record(const SlotRecord& record) {
  Json doc = Json::object();
  doc["schema_version"] = record.schema_version;
  doc["backup_ref"] = record.backup_ref;
  doc["operation"] = record.operation;
  doc["operation_id"] = record.operation_id;
  doc["target_identity_digest"] = record.target_identity_digest;
  doc["setup_id"] = text_or_null(record.setup_id);
  doc["setup_definition_digest"] = text_or_null(record.setup_definition_digest);
  auto bytes = canonical_json(doc);
  if (!bytes.ok())
    return caused_by(ErrorKind::state_unavailable, "cannot encode the backup record", bytes.error());
  return std::move(bytes).value();
}

Result<std::string> capture(const BackupPool& pool, const std::string& target,
                            const std::vector<std::string>& surfaces,
                            const CaptureRequest& request,
                            const std::optional<std::string>& spare) {
  VELK_ASSIGN(const auto dirs, list_slot_dirs(pool));
  uint64_t highest = 0;
  for (const auto& dir : dirs) highest = std::max(highest, slot_number(file_name(dir)));
  const uint64_t number = highest >= kMaxSlotNumber ? kMaxSlotNumber : highest + 1;
  const std::string name = slot_name(number);
  const std::string slot_dir = path_join(pool.dir, name);
  const std::string payload = path_join(slot_dir, kPayloadName);

  // The slot directory is made exclusively: a capture never writes into a
  // slot that already exists (a full pool of numbers saturates there).
  int err = create_directories(pool.dir);
  if (err == 0 && ::mkdir(slot_dir.c_str(), 0777) != 0) err = errno;
  if (err == 0 && ::mkdir(payload.c_str(), 0777) != 0) err = errno;
  if (err != 0)
    return system_error(ErrorKind::state_unavailable, "cannot create backup slot " + slot_dir, err);

  Fd payload_fd(open_directory(payload));
  if (payload_fd.get() < 0)
    return system_error(ErrorKind::state_unavailable, "cannot create backup slot " + slot_dir,
                        errno);
  const Status filled = fill_slot(target, payload_fd.get(), payload, slot_dir, surfaces);
  if (!filled.ok() && stopped_before_change()) return filled.error();  // the slot is gone
  if (request.confirm) {
    if (Status confirmed = request.confirm(); !confirmed.ok()) {
      (void)remove_path(slot_dir);
      return std::move(confirmed).error();
    }
  }
  VELK_TRY(filled);

  const SlotRecord record{.backup_ref = name,
                          .operation = request.operation,
                          .operation_id = request.operation_id,
                          .target_identity_digest = request.identity,
                          .setup_id = request.setup_id,
                          .setup_definition_digest = request.setup_definition_digest};
  VELK_ASSIGN(const std::string bytes, encode_slot_record(record));
  VELK_TRY(write_file_atomically(path_join(slot_dir, kSlotRecordName), bytes));

  VELK_TRY(prune(pool, spare));
  return name;
}

Status prune(const BackupPool& pool, const std::optional<std::string>& spare) {
  VELK_TRY(clear_prune_leftovers(pool));
  VELK_ASSIGN(const auto slots, list_slots(pool));
  Fd pool_fd;
  size_t kept = 0;
  for (const auto& slot : slots) {
    if (slot.name == spare) continue;
    const auto held = stat_path(path_join(slot.dir, kHeldName));
    if (held && S_ISREG(held->st_mode)) continue;
    if (kept < pool.capacity) {
      ++kept;
      continue;
    }
    // Out of the slot-name form first: from here a crash leaves a leftover
    // that no listing shows and the next prune clears.
    if (pool_fd.get() < 0) {
      pool_fd = Fd(open_directory(pool.dir));
      if (pool_fd.get() < 0)
        return system_error(ErrorKind::state_unavailable, "cannot prune " + slot.dir, errno);
    }
    const std::string doomed_name = std::string(kPruningPrefix) + slot.name;
    if (::renameat(pool_fd.get(), slot.name.c_str(), pool_fd.get(), doomed_name.c_str()) != 0)
      return system_error(ErrorKind::state_unavailable, "cannot prune " + slot.dir, errno);
    // A hold that landed between the look above and the rename wins: the
    // slot goes back under its name.
    struct stat st;
    if (::fstatat(pool_fd.get(), (doomed_name + "/" + std::string(kHeldName)).c_str(), &st,
                  AT_SYMLINK_NOFOLLOW) == 0) {
      if (::renameat(pool_fd.get(), doomed_name.c_str(), pool_fd.get(), slot.name.c_str()) != 0)
        return system_error(ErrorKind::state_unavailable, "cannot prune " + slot.dir, errno);
      continue;
    }
    if (const int e = remove_entry_at(pool_fd.get(), doomed_name); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot prune " + slot.dir, e);
  }
  return {};
}

Status restore_previous_state(const std::string& slot_dir, const std::string& target) {
  const std::string state_path = path_join(target, declaration().state_file_name);
  const std::string saved = path_join(slot_dir, kPreviousStateName);
  auto bytes = read_file(saved, "cannot read " + saved, kStateFileCap);
  if (bytes.ok()) {
    // Kept bytes are checked as a state file is before they become one.
    VELK_TRY(parse_state(saved, *bytes));
    return write_file_atomically(state_path, *bytes);
  }
  const int e = bytes.error().sys_errno;
  if (e != ENOENT && e != ENOTDIR) return std::move(bytes).error();
  if (lstat_path(path_join(slot_dir, kPreviousStateAbsentName))) return remove_path(state_path);
  return {};  // a slot that kept no copy leaves the state file as it is
}

Result<std::vector<std::string>> kept_written_paths(const std::string& slot_dir) {
  const std::string path = path_join(slot_dir, kPreviousStateName);
  auto bytes = read_file(path, "cannot read " + path, kStateFileCap);
  if (!bytes.ok()) {
    const int e = bytes.error().sys_errno;
    if (e == ENOENT || e == ENOTDIR) return std::vector<std::string>{};
    return std::move(bytes).error();
  }
  VELK_ASSIGN(StateRead kept, parse_state(path, *bytes));
  if (!kept.present()) return std::vector<std::string>{};
  VELK_TRY(check_recorded_paths(path, "written_paths", kept.state.written_paths,
                                TargetScope::user_root));
  return std::move(kept.state.written_paths);
}

Result<std::vector<std::string>> read_planned_writes(const std::string& slot_dir) {
  const std::string path = path_join(slot_dir, kPlannedWritesName);
  auto bytes = read_file(path, "cannot read " + path, kPlannedWritesCap);
  if (!bytes.ok()) {
    const int e = bytes.error().sys_errno;
    if (e == ENOENT || e == ENOTDIR) return std::vector<std::string>{};
    return std::move(bytes).error();
  }
  const Error not_a_list = make_error(ErrorKind::state_unavailable, path + " is not a list of paths");
  auto parsed = parse_json(*bytes);
  if (!parsed.ok() || !parsed->is_array()) return not_a_list;
  std::vector<std::string> paths;
  for (const Json& item : *parsed) {
    if (!item.is_string()) return not_a_list;
    paths.push_back(item.get<std::string>());
  }
  VELK_TRY(check_recorded_paths(path, "its planned writes", paths, TargetScope::user_root));
  return paths;
}

}  // namespace velk
