#include "store/report.h"

#include <sys/stat.h>

#include <cerrno>

#include "core/digest.h"
#include "core/fs.h"
#include "core/progress.h"
#include "core/text.h"
#include "store/identity.h"

namespace velk {
namespace {

// The canonical target, or the absolute text of one that does not exist (or
// is no directory), which is reported as missing.
Result<TargetReport> locate(std::string_view text, bool missing_allowed) {
  TargetReport report;
  auto store = locate_target_store(text);
  if (store.ok()) {
    report.store = std::move(store).value();
    return report;
  }
  if (!missing_allowed || !starts_with(text, "/")) return std::move(store).error();
  int err = 0;
  const std::string path(text);
  const auto st = lstat_path(path, &err);
  const bool absent = !st && (err == 0 || err == ENOTDIR);
  const bool not_directory = st && !S_ISDIR(st->st_mode) && !S_ISLNK(st->st_mode);
  if (!absent && !not_directory) return std::move(store).error();
  report.missing = true;
  report.store.target_path = path;
  return report;
}

// The complete slots with their holds; a pool that was never made (nothing
// was ever changed here), or is not a directory, holds none.
Result<std::vector<ListedSlot>> listed_slots(const BackupPool& pool) {
  std::vector<ListedSlot> listed;
  VELK_ASSIGN(std::vector<SlotEntry> slots, list_slots(pool));
  for (SlotEntry& slot : slots) {
    std::optional<std::string> reason = hold_reason(slot.dir);
    listed.push_back(ListedSlot{std::move(slot), std::move(reason)});
  }
  return listed;
}

// Keeps a part's value, or its error for the printer to meet.
template <class T>
void keep(Result<T> result, T& value, std::optional<Error>& error) {
  if (result.ok())
    value = std::move(result).value();
  else
    error = std::move(result).error();
}

}  // namespace

std::optional<TargetScope> decide_scope(std::optional<TargetScope> requested,
                                        const StateRead& state) {
  if (requested) return requested;
  return state.present() ? recorded_scope(state.state) : std::nullopt;
}

Result<TargetReport> report_target(std::string_view target_text,
                                   std::optional<TargetScope> requested, ReportParts parts,
                                   bool missing_allowed) {
  VELK_ASSIGN(TargetReport report, locate(target_text, missing_allowed));
  report.identity = digest_records({});
  if (report.missing) return report;
  const Dir& target = report.store.target;

  // The scope follows the record, so the record is read whenever the
  // identity is measured.
  if (parts.state || parts.identity) keep(read_state(target), report.state, report.state_error);
  report.scope = decide_scope(requested, report.state);
  if (parts.identity) {
    progress_phase(Phase::measuring);
    keep(target_identity(target, scope_surfaces(report.scope)), report.identity,
         report.identity_error);
    progress_phase(Phase::none);
  }
  if (parts.journal)
    keep(read_journal(report.store.control), report.journal, report.journal_error);
  if (parts.slots) keep(listed_slots(report.store.pool), report.slots, report.slots_error);
  return report;
}

}  // namespace velk
