// Capture of a backup slot, the rolling reclamation of old slots, and the
// state file kept beside each slot's payload.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>

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

bool is_real_directory(const Dir& dir, const std::string& name) {
  const auto st = dir.stat(name);
  return st && S_ISDIR(st->st_mode);
}

// Copies one surface into the payload, handing what it writes to `flush`.
Status capture_surface(const Dir& target, const Dir& payload, const std::string& surface,
                       FlushQueue& flush) {
  const std::string from = target.below(surface);
  const std::string name = file_name(surface);
  const auto link_refusal = [](const std::string& path) {
    return make_error(ErrorKind::integrity_mismatch, path + " is a symbolic link and is not captured");
  };
  auto source_dir = target.open(parent_path(surface));
  if (!source_dir.ok()) {
    const int e = source_dir.error();
    if (e == ENOENT || e == ENOTDIR) return {};  // not in the target
    if (e == ELOOP) return link_refusal(target.below(parent_path(surface)));
    return system_error(ErrorKind::state_unavailable, "cannot stat " + from, e);
  }
  struct stat st;
  if (::fstatat(source_dir->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return {};
    return system_error(ErrorKind::state_unavailable, "cannot stat " + from, errno);
  }
  if (S_ISLNK(st.st_mode)) return link_refusal(from);
  const std::string to = payload.below(surface);
  auto destination_dir = payload.open_or_make(parent_path(surface));
  if (!destination_dir.ok())
    return system_error(ErrorKind::state_unavailable, "cannot create " + parent_path(to),
                        destination_dir.error());
  if (S_ISDIR(st.st_mode)) {
    auto source = source_dir->open(name);
    if (!source.ok()) {
      if (source.error() == ELOOP) return link_refusal(from);
      return system_error(ErrorKind::state_unavailable, "cannot list " + from, source.error());
    }
    auto destination = destination_dir->make(name);
    if (!destination.ok())
      return system_error(ErrorKind::state_unavailable, "cannot create " + to, destination.error());
    // A request to stop is obeyed between two files.
    TreeCopyHooks hooks;
    hooks.owner = payload.owner();
    hooks.after_file = [](int, const std::string&, const std::string&) -> Status {
      if (interrupt_requested()) return interrupted_before_change();
      return {};
    };
    hooks.flush = &flush;
    VELK_TRY(copy_tree_at(source->fd(), from, destination->fd(), to, hooks));
    if (const int e = flush.add(Fd(::dup(destination->fd())), true); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot flush " + to, e);
    return {};
  }
  Fd written;
  if (const int e = copy_file_at(source_dir->fd(), name, destination_dir->fd(), name,
                                 payload.owner(), &written);
      e != 0) {
    return copy_failure(from, to, e);
  }
  if (const int e = flush.add(std::move(written), false); e != 0)
    return system_error(ErrorKind::state_unavailable, "cannot flush " + to, e);
  return {};
}

// The payload's directories that hold a surface (the payload itself
// included), deepest first, handed to `flush` once every surface is in.
int flush_surface_parents(const Dir& payload, const std::vector<std::string>& surfaces,
                          FlushQueue& flush) {
  std::set<std::string, std::greater<>> parents;  // deepest first
  for (const auto& surface : surfaces)
    for (std::string dir = parent_path(surface); !dir.empty(); dir = parent_path(dir))
      parents.insert(dir);
  for (const auto& dir : parents) {
    auto opened = payload.open(dir);
    if (!opened.ok()) {
      if (opened.error() == ENOENT) continue;  // no surface below it was present
      return opened.error();
    }
    if (const int e = flush.add(Fd(::dup(opened->fd())), true); e != 0) return e;
  }
  return flush.add(Fd(::dup(payload.fd())), true);
}

// Keeps the target's state file (or the fact that it had none) with the
// slot, so recovery can put back the record that describes the payload.
Status keep_previous_state(const Dir& target, const Dir& slot) {
  const std::string name(declaration().state_file_name);
  auto bytes = target.read(name, "cannot read " + target.below(name), kStateFileCap);
  if (bytes.ok()) return slot.write(std::string(kPreviousStateName), *bytes);
  const int e = bytes.error().sys_errno;
  if (e != ENOENT && e != ENOTDIR) return std::move(bytes).error();
  return slot.write(std::string(kPreviousStateAbsentName), "");
}

Error prune_failure(const std::string& path, int err) {
  return system_error(ErrorKind::state_unavailable, "cannot prune " + path, err);
}

// Removes what an interrupted prune left under its ".pruning-" names, and
// anything but a directory at a slot's name (a link is unlinked, never
// followed): neither is a slot.
Status clear_prune_leftovers(const BackupPool& pool) {
  VELK_ASSIGN(const auto names, list_pool(pool));
  for (const auto& name : names) {
    const bool leftover = starts_with(name, kPruningPrefix) ||
                          (slot_number(name) != 0 && !is_real_directory(pool.dir, name));
    if (!leftover) continue;
    if (const int e = pool.dir.remove(name); e != 0) return prune_failure(pool.dir.below(name), e);
  }
  return {};
}

// Copies the surfaces and the state file into a new slot and makes them
// durable, stopping between two files when asked to. A slot stopped that
// way is taken away again: it was never complete and holds nothing that
// anyone needs.
Status fill_slot(const BackupPool& pool, const Dir& target, const Dir& slot, const Dir& payload,
                 const std::vector<std::string>& surfaces) {
  const auto filled = [&]() -> Status {
    // The payload reaches the disk before the record that calls the slot
    // complete: after a power cut, a record over files that never landed
    // would restore empty files over good ones. Each file copied, each
    // directory made, the slot and its place in the pool: this slot's own
    // writes only, whatever else the machine is writing.
    FlushQueue flush;
    for (const auto& surface : surfaces) {
      VELK_TRY(capture_surface(target, payload, surface, flush));
      if (interrupt_requested()) return interrupted_before_change();
    }
    VELK_TRY(keep_previous_state(target, slot));
    int e = flush_surface_parents(payload, surfaces, flush);
    if (const int f = flush.finish(); e == 0) e = f;
    if (e == 0) e = slot.sync();
    if (e == 0) e = pool.dir.sync();
    if (e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot flush backup slot " + slot.path(), e);
    if (interrupt_requested()) return interrupted_before_change();
    return {};
  }();
  if (!filled.ok() && stopped_before_change()) (void)pool.dir.remove(file_name(slot.path()));
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

Result<std::string> capture(const BackupPool& pool, const Dir& target,
                            const std::vector<std::string>& surfaces,
                            const CaptureRequest& request,
                            const std::optional<std::string>& spare) {
  // A leftover link or file at a slot's name goes first, so the new slot's
  // name is free; the number follows the real slot directories.
  VELK_TRY(clear_prune_leftovers(pool));
  VELK_ASSIGN(const auto names, list_slot_names(pool));
  uint64_t highest = 0;
  for (const auto& entry : names) highest = std::max(highest, slot_number(entry));
  const uint64_t number = highest >= kMaxSlotNumber ? kMaxSlotNumber : highest + 1;
  const std::string name = slot_name(number);
  const std::string slot_path = pool.dir.below(name);

  // The slot directory is made exclusively: a capture never writes into a
  // slot that already exists (a full pool of numbers saturates there).
  auto slot = pool.dir.make(name);
  if (!slot.ok())
    return system_error(ErrorKind::state_unavailable, "cannot create backup slot " + slot_path,
                        slot.error());
  auto payload = slot->make(std::string(kPayloadName));
  if (!payload.ok())
    return system_error(ErrorKind::state_unavailable, "cannot create backup slot " + slot_path,
                        payload.error());
  const Status filled = fill_slot(pool, target, *slot, *payload, surfaces);
  if (!filled.ok() && stopped_before_change()) return filled.error();  // the slot is gone
  if (request.confirm) {
    if (Status confirmed = request.confirm(); !confirmed.ok()) {
      (void)pool.dir.remove(name);
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
  VELK_TRY(slot->write(std::string(kSlotRecordName), bytes));

  VELK_TRY(prune(pool, spare));
  return name;
}

Status prune(const BackupPool& pool, const std::optional<std::string>& spare) {
  VELK_TRY(clear_prune_leftovers(pool));
  VELK_ASSIGN(const auto slots, list_slots(pool));
  size_t kept = 0;
  for (const auto& slot : slots) {
    if (slot.name == spare) continue;
    const auto held = slot.dir.stat(kHeldName);
    if (held && S_ISREG(held->st_mode)) continue;
    if (kept < pool.capacity) {
      ++kept;
      continue;
    }
    // Out of the slot-name form first: from here a crash leaves a leftover
    // that no listing shows and the next prune clears.
    const std::string path = slot.dir.path();
    const std::string doomed = std::string(kPruningPrefix) + slot.name;
    if (const int e = pool.dir.rename(slot.name, doomed); e != 0) return prune_failure(path, e);
    // A hold that landed between the look above and the rename wins: the
    // slot goes back under its name.
    if (slot.dir.stat(kHeldName)) {
      if (const int e = pool.dir.rename(doomed, slot.name); e != 0) return prune_failure(path, e);
      continue;
    }
    if (const int e = pool.dir.remove(doomed); e != 0) return prune_failure(path, e);
  }
  return {};
}

Status restore_previous_state(const Dir& slot, const Dir& target) {
  const std::string saved = slot.below(kPreviousStateName);
  auto bytes = slot.read(std::string(kPreviousStateName), "cannot read " + saved, kStateFileCap);
  if (bytes.ok()) {
    // Kept bytes are checked as a state file is before they become one.
    VELK_TRY(parse_state(saved, *bytes));
    return target.write(std::string(declaration().state_file_name), *bytes);
  }
  const int e = bytes.error().sys_errno;
  if (e != ENOENT && e != ENOTDIR) return std::move(bytes).error();
  if (slot.stat(kPreviousStateAbsentName)) {
    const std::string name(declaration().state_file_name);
    if (const int gone = target.remove(name); gone != 0)
      return system_error(ErrorKind::state_unavailable, "cannot remove " + target.below(name), gone);
  }
  return {};  // a slot that kept no copy leaves the state file as it is
}

Result<std::vector<std::string>> kept_written_paths(const Dir& slot) {
  const std::string path = slot.below(kPreviousStateName);
  auto bytes = slot.read(std::string(kPreviousStateName), "cannot read " + path, kStateFileCap);
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

Result<std::vector<std::string>> read_planned_writes(const Dir& slot) {
  const std::string path = slot.below(kPlannedWritesName);
  auto bytes = slot.read(std::string(kPlannedWritesName), "cannot read " + path, kPlannedWritesCap);
  if (!bytes.ok()) {
    const int e = bytes.error().sys_errno;
    if (e == ENOENT || e == ENOTDIR) return std::vector<std::string>{};
    return std::move(bytes).error();
  }
  const Error not_a_list = make_error(ErrorKind::state_unavailable, path + " is not a list of paths");
  // At most as many paths as a change may write, and then some: a padded
  // file is refused, not built.
  auto parsed = parse_json_members(*bytes, {}, 1 << 17);
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
