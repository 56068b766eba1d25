#include "store/recover.h"

#include <algorithm>

#include "core/fs.h"
#include "core/json.h"
#include "store/identity.h"
#include "store/journal.h"
#include "store/pool.h"
#include "store/pool_files.h"
#include "store/state.h"
#include "store/target.h"

namespace velk {

namespace {

// The written_paths of the state file the slot kept, when it kept a
// readable one.
std::vector<std::string> kept_written_paths(const std::string& slot_dir) {
  const std::string path = path_join(slot_dir, kPreviousStateName);
  auto bytes = read_file(path, "cannot read " + path);
  if (!bytes.ok()) return {};
  auto parsed = parse_json(*bytes);
  if (!parsed.ok() || !parsed->is_object()) return {};
  auto paths = field_optional_string_list(*parsed, "written_paths");
  return paths.ok() ? std::move(paths).value() : std::vector<std::string>{};
}

// The paths the interrupted change was about to write, when it kept them.
std::vector<std::string> planned_writes(const std::string& slot_dir) {
  const std::string path = path_join(slot_dir, kPlannedWritesName);
  auto bytes = read_file(path, "cannot read " + path);
  if (!bytes.ok()) return {};
  auto parsed = parse_json(*bytes);
  if (!parsed.ok() || !parsed->is_array()) return {};
  std::vector<std::string> paths;
  for (const Json& item : *parsed)
    if (item.is_string()) paths.push_back(item.get<std::string>());
  return paths;
}

// Under user_root only what this provider recorded writing is cleared: what
// the record before the change named, what the interrupted change was about
// to write, and what it recorded if it got that far.
std::vector<std::string> user_root_paths(const StateRead& current, const std::string& slot_dir) {
  std::vector<std::string> paths = kept_written_paths(slot_dir);
  const std::vector<std::string> planned = planned_writes(slot_dir);
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

  // A state file that cannot be read is not this change's record; it is
  // left as it is.
  auto read = read_state(target);
  const StateRead current = read.ok() ? std::move(read).value() : StateRead{};
  const std::vector<std::string> recorded =
      journal.target_scope == TargetScope::user_root ? user_root_paths(current, slot_dir)
                                                     : std::vector<std::string>{};
  VELK_TRY(restore_payload(target, payload, journal.target_scope, recorded));

  // The interrupted change got as far as writing its record: that record
  // describes content the payload has just replaced, so the record the
  // target had before the change goes back with it.
  if (current.present() && current.state.operation_id == journal.operation_id)
    VELK_TRY(restore_previous_state(slot_dir, target));
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
  VELK_ASSIGN(const auto surfaces, managed_paths(target, scope));
  return target_identity(target, surfaces);
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
