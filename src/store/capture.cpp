// Capture of a backup slot, the rolling reclamation of old slots, and the
// state file kept beside each slot's payload.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "core/json.h"
#include "core/text.h"
#include "product/declaration.h"
#include "store/identity.h"
#include "store/pool.h"
#include "store/pool_files.h"

namespace velk {

namespace {

Status capture_surface(const std::string& target, const std::string& payload,
                       const std::string& surface) {
  const std::string from = path_join(target, surface);
  int err = 0;
  const auto st = lstat_path(from, &err);
  if (!st) {
    if (err == 0) return {};  // not in the target: nothing to capture
    return system_error(ErrorKind::state_unavailable, "cannot stat " + from, err);
  }
  const std::string to = path_join(payload, surface);
  const std::string parent = parent_path(to);
  if (const int e = create_directories(parent); e != 0)
    return system_error(ErrorKind::state_unavailable, "cannot create " + parent, e);
  if (S_ISDIR(st->st_mode)) return copy_tree(from, to);
  if (S_ISLNK(st->st_mode))
    return make_error(ErrorKind::integrity_mismatch, from + " is a symbolic link and is not captured");
  return copy_file(from, to);
}

// Keeps the target's state file (or the fact that it had none) with the
// slot, so recovery can put back the record that describes the payload.
Status keep_previous_state(const std::string& target, const std::string& slot_dir) {
  const std::string state_path = path_join(target, declaration().state_file_name);
  auto bytes = read_file(state_path, "cannot read " + state_path);
  if (bytes.ok())
    return write_file_atomically(path_join(slot_dir, kPreviousStateName), *bytes);
  const int e = bytes.error().sys_errno;
  if (e != ENOENT && e != ENOTDIR) return std::move(bytes).error();
  return write_file_atomically(path_join(slot_dir, kPreviousStateAbsentName), "");
}

Result<std::string> encode_record(const SlotRecord& record) {
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

}  // namespace

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

  for (const auto& surface : surfaces) VELK_TRY(capture_surface(target, payload, surface));
  VELK_TRY(keep_previous_state(target, slot_dir));

  SlotRecord record;
  record.backup_ref = name;
  record.operation = request.operation;
  record.operation_id = request.operation_id;
  record.target_identity_digest = request.identity;
  record.setup_id = request.setup_id;
  record.setup_definition_digest = request.setup_definition_digest;
  VELK_ASSIGN(const std::string bytes, encode_record(record));
  VELK_TRY(write_file_atomically(path_join(slot_dir, kSlotRecordName), bytes));

  VELK_TRY(prune(pool, spare));
  return name;
}

Status prune(const BackupPool& pool, const std::optional<std::string>& spare) {
  VELK_TRY(clear_prune_leftovers(pool));
  VELK_ASSIGN(const auto slots, list_slots(pool));
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
    const std::string doomed = path_join(pool.dir, std::string(kPruningPrefix) + slot.name);
    if (::rename(slot.dir.c_str(), doomed.c_str()) != 0)
      return system_error(ErrorKind::state_unavailable, "cannot prune " + slot.dir, errno);
    if (auto removed = remove_path(doomed); !removed.ok())
      return prune_failure(slot.dir, removed.error());
  }
  return {};
}

Status restore_previous_state(const std::string& slot_dir, const std::string& target) {
  const std::string state_path = path_join(target, declaration().state_file_name);
  const std::string saved = path_join(slot_dir, kPreviousStateName);
  auto bytes = read_file(saved, "cannot read " + saved);
  if (bytes.ok()) return write_file_atomically(state_path, *bytes);
  const int e = bytes.error().sys_errno;
  if (e != ENOENT && e != ENOTDIR) return std::move(bytes).error();
  if (lstat_path(path_join(slot_dir, kPreviousStateAbsentName))) return remove_path(state_path);
  return {};  // a slot that kept no copy leaves the state file as it is
}

}  // namespace velk
