// The backup pool: numbered slots in the control directory, each a copy of
// the owned surfaces captured before a change, with its record, optionally
// held against the rolling reclamation.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/dir.h"
#include "core/error.h"
#include "product/declaration.h"
#include "store/target.h"

namespace velk {

struct SlotRecord {
  uint32_t schema_version = 1;
  std::string backup_ref;
  std::string operation;
  std::string operation_id;
  std::string target_identity_digest;  // identity of what the payload holds
  std::optional<std::string> setup_id;
  std::optional<std::string> setup_definition_digest;
  bool operator==(const SlotRecord&) const = default;
};

// A complete slot: its name, its record and the slot directory, held open
// from the moment it was found to be a real directory in the pool.
struct SlotEntry {
  std::string name;  // "slot-" and 12 digits
  SlotRecord record;
  Dir dir;
};

struct HeldSlot {
  std::string name;
  std::string reason;  // trimmed HELD text, or "no reason recorded"
};

// A slot record read from `text` (the bytes of "slot.json" at `path`):
// "{path} does not parse as a backup record", "backup schema {n} is not the
// 1 this build writes" (state_unavailable).
Result<SlotRecord> parse_slot_record(const std::string& path, std::string_view text);
// The record's canonical bytes: "cannot encode the backup record".
Result<std::string> encode_slot_record(const SlotRecord& record);

// "slot-" followed by 12 ASCII digits, or "{text} is not a backup reference"
// (integrity_mismatch).
Result<std::string> parse_slot_ref(std::string_view text);
std::string slot_name(uint64_t number);

// Only a real directory at a slot reference's name is a slot: a link or a
// file there is a leftover, listed nowhere and taken away by the next prune
// or recovery (as a link, never followed).

// Names of the slot directories of the pool, any order. A pool that does
// not exist yet lists as empty.
Result<std::vector<std::string>> list_slot_names(const BackupPool& pool);
// Complete slots with their records, newest first.
Result<std::vector<SlotEntry>> list_slots(const BackupPool& pool);
// Names of slot directories without a record, sorted as bytes.
Result<std::vector<std::string>> list_incomplete_slots(const BackupPool& pool);

struct CaptureRequest {
  std::string operation;
  std::string operation_id;
  std::string identity;  // the identity measured before the change
  std::optional<std::string> setup_id;
  std::optional<std::string> setup_definition_digest;
  // Optional: runs once the payload is durable, before the record is
  // written (perform confirms there the identity it measured meanwhile). A
  // refusal takes the unfinished slot away and is returned, and so it is
  // when the copy itself failed: the refusal explains the failure.
  std::function<Status()> confirm;
};

// Copies the owned surfaces of the target into a new slot, writes its
// record, prunes the pool and returns the slot's name. Run only after the
// link check passed. The prune keeps the `spare` slot even beyond the
// capacity: the source of a restore, which the restore still has to read.
Result<std::string> capture(const BackupPool& pool, const Dir& target,
                            const std::vector<std::string>& surfaces, const CaptureRequest& request,
                            const std::optional<std::string>& spare = std::nullopt);

// Keeps the ten newest unheld complete slots; held and incomplete slots are
// neither counted nor removed. A slot is renamed out of the reference form
// before it is deleted, and leftovers of an interrupted prune are cleared.
// The `spare` slot, when named, is kept as well and not counted.
Status prune(const BackupPool& pool, const std::optional<std::string>& spare = std::nullopt);

// A complete slot of the pool by name, held: "backup {name} is absent or
// incomplete" (integrity_mismatch) unless a real directory with a record
// stands at the name.
Result<Dir> open_complete_slot(const BackupPool& pool, const std::string& name);
// The payload directory of a slot, held: "backup {name} is absent or
// incomplete" (integrity_mismatch) when it has none.
Result<Dir> slot_payload(const Dir& slot);

// The newest complete slot, or the named one: "this target has no backup to
// restore", "{ref} is not a completed backup of this target".
Result<SlotEntry> resolve_restore_source(const BackupPool& pool,
                                         const std::optional<std::string>& ref);

// Puts a slot's payload back. Under the global scope (and project) every
// owned surface is removed, sparing the never-touch paths, and the payload's
// surfaces are copied back with their permission bits (never set-user-ID,
// set-group-ID or sticky). Under user_root, where the root is shared with
// other products, only `user_root_paths` are acted on (the caller has
// checked them): each goes back as the payload holds it, or goes away when
// the payload does not hold it; every other path under the root stays
// exactly as it is. Returns the paths put back, relative to the target.
Result<std::vector<std::string>> restore_payload(
    const Dir& target, const Dir& payload, std::optional<TargetScope> scope,
    const std::vector<std::string>& user_root_paths = {});

// Puts back the state file the target had when the slot was captured (kept
// as "previous-state.json"), or removes the target's state file when the
// slot recorded that there was none ("previous-state.absent"). A slot with
// neither leaves the state file as it is.
Status restore_previous_state(const Dir& slot, const Dir& target);

// Under user_root, the written_paths of the state file a slot kept (none
// when it kept none, or one in another schema), each checked as a path of a
// user_root record (check_recorded_paths of state.h) before anything acts
// on it.
Result<std::vector<std::string>> kept_written_paths(const Dir& slot);

// The paths a change under user_root was about to write, kept with its slot
// (none when it kept none), each checked the same way. A file that is not a
// list of paths is refused: "{path} is not a list of paths"
// (state_unavailable).
Result<std::vector<std::string>> read_planned_writes(const Dir& slot);

Result<std::vector<HeldSlot>> list_held(const BackupPool& pool);
// The hold reason of a slot when it is held.
std::optional<std::string> hold_reason(const Dir& slot);

enum class HoldOutcome { held, already_held };
enum class ReleaseOutcome { released, not_held };
Result<HoldOutcome> hold(const BackupPool& pool, const std::string& ref,
                         const std::optional<std::string>& reason);
Result<ReleaseOutcome> release(const BackupPool& pool, const std::string& ref);

}  // namespace velk
