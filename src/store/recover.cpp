#include "store/recover.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/fs.h"
#include "core/progress.h"
#include "core/json.h"
#include "product/declaration.h"
#include "store/identity.h"
#include "store/journal.h"
#include "store/pool.h"
#include "store/pool_files.h"
#include "store/state.h"
#include "store/target.h"

namespace velk {

namespace {

// Under user_root only what this provider recorded writing is put back or
// taken away: what the record before the change named, what the interrupted
// change was about to write, and what it recorded if it got that far. Each
// of those records is checked before any of its paths is acted on.
Result<std::vector<std::string>> user_root_paths(const StateRead& current, const Dir& slot) {
  VELK_ASSIGN(std::vector<std::string> paths, kept_written_paths(slot));
  VELK_ASSIGN(const std::vector<std::string> planned, read_planned_writes(slot));
  paths.insert(paths.end(), planned.begin(), planned.end());
  if (current.present())
    paths.insert(paths.end(), current.state.written_paths.begin(),
                 current.state.written_paths.end());
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  return paths;
}

Status restore_from_slot(const TargetStore& store, const Journal& journal,
                         const std::string& ref) {
  const Dir& target = store.target;
  VELK_ASSIGN(const Dir slot, open_complete_slot(store.pool, ref));
  VELK_ASSIGN(const Dir payload, slot_payload(slot));

  // Under the global scope a state file that cannot be read is not this
  // change's record and is left as it is. Under user_root its paths decide
  // what is removed, so a record that cannot be read, or names a path this
  // provider may not act on, stops the recovery before anything changes.
  StateRead current;
  std::vector<std::string> recorded;
  if (journal.target_scope == TargetScope::user_root) {
    VELK_ASSIGN(current, read_state(target));
    VELK_TRY(check_recorded_paths(state_file_path(store.target_path), "written_paths",
                                  current.state.written_paths, TargetScope::user_root));
    VELK_ASSIGN(recorded, user_root_paths(current, slot));
  } else if (auto read = read_state(target); read.ok()) {
    current = std::move(read).value();
  }
  VELK_TRY(restore_payload(target, payload, journal.target_scope, recorded));
  // A change killed while it wrote its record leaves the record's staging
  // copy; the record the target had before is what stands.
  VELK_TRY(remove_state_staging(target));

  // The interrupted change got as far as writing its record: that record
  // describes content the payload has just replaced, so the record the
  // target had before the change goes back with it.
  if (current.present() && current.state.operation_id == journal.operation_id)
    VELK_TRY(restore_previous_state(slot, target));
  return {};
}

// An adoption moves the legacy stamp into the control directory, outside
// the surfaces a backup holds; an adoption that did not finish has it moved
// back. A stamp found at the target again (written since) is left alone, and
// so is the kept one.
Status put_back_adopted_stamp(const TargetStore& store) {
  const std::string name(declaration().legacy_stamp_name);
  auto adopted = store.control.open(kAdoptedDirName);
  if (!adopted.ok()) return {};
  const auto kept_entry = adopted->stat(name);
  if (!kept_entry || !S_ISREG(kept_entry->st_mode) || store.target.stat(name)) return {};
  const std::string kept = adopted->below(name);
  const std::string stamp = store.target.below(name);
  if (const int e = adopted->move_to(name, store.target, name); e != 0)
    return system_error(ErrorKind::state_unavailable, "cannot move " + kept + " back to " + stamp, e);
  for (const Dir* dir : {static_cast<const Dir*>(&adopted.value()), &store.target})
    if (const int e = dir->sync(); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot flush " + dir->path(), e);
  return {};
}

// Removes the slots a killed capture left without a record, and anything
// but a directory at a slot's name (a link is unlinked, never followed),
// which is no slot. Returns the names of the slots removed.
Result<std::vector<std::string>> clear_incomplete_slots(const BackupPool& pool) {
  VELK_ASSIGN(const auto incomplete, list_incomplete_slots(pool));
  for (const auto& name : incomplete)
    if (const int e = pool.dir.remove(name); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot remove " + pool.dir.below(name), e);
  VELK_ASSIGN(const auto names, list_pool(pool));
  for (const auto& name : names) {
    if (slot_number(name) == 0) continue;
    const auto st = pool.dir.stat(name);
    if (!st || S_ISDIR(st->st_mode)) continue;
    if (const int e = pool.dir.unlink(name); e != 0 && e != ENOENT)
      return system_error(ErrorKind::state_unavailable, "cannot remove " + pool.dir.below(name), e);
  }
  return incomplete;
}

// Measured as the write path measures what it wrote: the put-back files are
// on disk before the journal goes.
Result<std::string> measure(const Dir& target, std::optional<TargetScope> scope) {
  return target_identity(target, scope_surfaces(scope), /*flush=*/true);
}

}  // namespace

Result<RecoveryOutcome> recover(std::string_view target_text) {
  VELK_ASSIGN(const TargetStore store, open_target_store(target_text));
  VELK_ASSIGN(TargetLock lock, lock_target(store.control));

  RecoveryOutcome outcome;
  VELK_ASSIGN(const std::optional<Journal> journal, read_journal(store.control));
  if (journal) {
    outcome.phase = journal->phase;
    if (journal->phase == "prepared") {
      if (!journal->backup_ref)
        return make_error(ErrorKind::recovery_required,
                          "the journal names no backup, so the pre-operation target cannot be "
                          "restored");
      VELK_ASSIGN(const std::string ref, parse_slot_ref(*journal->backup_ref));
      progress_phase(Phase::recovering);
      VELK_TRY(restore_from_slot(store, *journal, ref));
      if (journal->operation == "adopt") VELK_TRY(put_back_adopted_stamp(store));
      outcome.restored_from = ref;
    }
    // Measured before the journal goes, so a failure here leaves it for the
    // next recovery to finish.
    progress_phase(Phase::measuring);
    VELK_ASSIGN(outcome.identity, measure(store.target, journal->target_scope));
    progress_phase(Phase::none);
    VELK_TRY(clear_journal(store.control));
  }
  // A capture that never finished changed nothing in the target; its slot
  // only blocks planning.
  VELK_ASSIGN(outcome.cleared_slots, clear_incomplete_slots(store.pool));
  return outcome;
}

}  // namespace velk
