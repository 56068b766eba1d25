#include "store/recover.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/fs.h"
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
Result<std::vector<std::string>> user_root_paths(const StateRead& current,
                                                 const std::string& slot_dir) {
  VELK_ASSIGN(std::vector<std::string> paths, kept_written_paths(slot_dir));
  VELK_ASSIGN(const std::vector<std::string> planned, read_planned_writes(slot_dir));
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
  const std::string& target = store.target_path;
  VELK_ASSIGN(const std::string payload, slot_payload(store.pool, ref));
  const std::string slot_dir = path_join(store.pool.dir, ref);

  // Under the global scope a state file that cannot be read is not this
  // change's record and is left as it is. Under user_root its paths decide
  // what is removed, so a record that cannot be read, or names a path this
  // provider may not act on, stops the recovery before anything changes.
  StateRead current;
  std::vector<std::string> recorded;
  if (journal.target_scope == TargetScope::user_root) {
    VELK_ASSIGN(current, read_state(target));
    VELK_TRY(check_recorded_paths(state_file_path(target), "written_paths",
                                  current.state.written_paths, TargetScope::user_root));
    VELK_ASSIGN(recorded, user_root_paths(current, slot_dir));
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
    VELK_TRY(restore_previous_state(slot_dir, target));
  return {};
}

// An adoption moves the legacy stamp into the control directory, outside
// the surfaces a backup holds; an adoption that did not finish has it moved
// back. A stamp found at the target again (written since) is left alone, and
// so is the kept one.
Status put_back_adopted_stamp(const TargetStore& store) {
  const std::string stamp = legacy_stamp_path(store.target_path);
  const std::string kept = path_join(path_join(store.control_dir, kAdoptedDirName),
                                     declaration().legacy_stamp_name);
  const auto kept_entry = lstat_path(kept);
  if (!kept_entry || !S_ISREG(kept_entry->st_mode) || lstat_path(stamp)) return {};
  if (::rename(kept.c_str(), stamp.c_str()) != 0)
    return system_error(ErrorKind::state_unavailable, "cannot move " + kept + " back to " + stamp,
                        errno);
  for (const std::string& dir : {parent_path(kept), store.target_path})
    if (const int e = sync_directory(dir); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot flush " + dir, e);
  return {};
}

Result<std::vector<std::string>> clear_incomplete_slots(const BackupPool& pool) {
  VELK_ASSIGN(const auto incomplete, list_incomplete_slots(pool));
  std::vector<std::string> names;
  for (const auto& dir : incomplete) {
    VELK_TRY(remove_path(dir));
    names.push_back(file_name(dir));
  }
  return names;
}

Result<std::string> measure(const std::string& target, std::optional<TargetScope> scope) {
  return target_identity(target, scope_surfaces(scope));
}

}  // namespace

Result<RecoveryOutcome> recover(std::string_view target_text) {
  VELK_ASSIGN(const TargetStore store, open_target_store(target_text));
  VELK_ASSIGN(TargetLock lock, lock_target(store.control_dir));

  RecoveryOutcome outcome;
  VELK_ASSIGN(const std::optional<Journal> journal, read_journal(store.control_dir));
  if (journal) {
    outcome.phase = journal->phase;
    if (journal->phase == "prepared") {
      if (!journal->backup_ref)
        return make_error(ErrorKind::recovery_required,
                          "the journal names no backup, so the pre-operation target cannot be "
                          "restored");
      VELK_ASSIGN(const std::string ref, parse_slot_ref(*journal->backup_ref));
      VELK_TRY(restore_from_slot(store, *journal, ref));
      if (journal->operation == "adopt") VELK_TRY(put_back_adopted_stamp(store));
      outcome.restored_from = ref;
    }
    // Measured before the journal goes, so a failure here leaves it for the
    // next recovery to finish.
    VELK_ASSIGN(outcome.identity, measure(store.target_path, journal->target_scope));
    VELK_TRY(clear_journal(store.control_dir));
  }
  // A capture that never finished changed nothing in the target; its slot
  // only blocks planning.
  VELK_ASSIGN(outcome.cleared_slots, clear_incomplete_slots(store.pool));
  return outcome;
}

}  // namespace velk
