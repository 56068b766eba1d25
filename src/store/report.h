// The report of one target, computed once: the target (or that it is
// missing), the scope decided, the state file, the identity measured under
// that scope, the journal and the backup pool with its holds. The user
// commands status, diff and backups print it as text and the provider
// command status --json prints it as JSON, so the two never disagree.
// Reads only: no lock, nothing created.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "product/declaration.h"
#include "store/journal.h"
#include "store/pool.h"
#include "store/state.h"
#include "store/target.h"

namespace velk {

struct ListedSlot {
  SlotEntry slot;
  std::optional<std::string> hold_reason;  // set while held
};

// The parts a report reads; a command asks for what it prints.
struct ReportParts {
  bool state = true;
  bool identity = true;
  bool journal = true;
  bool slots = true;
};

// Each part that failed keeps its error, so that every printer reports the
// failure it meets first in its own order.
struct TargetReport {
  TargetStore store;     // located; for a missing target, the text given
  bool missing = false;  // only when missing targets were allowed
  std::optional<TargetScope> scope;
  StateRead state;
  std::optional<Error> state_error;
  std::string identity;  // the identity of no bytes for a missing target
  std::optional<Error> identity_error;
  std::optional<Journal> journal;
  std::optional<Error> journal_error;
  std::vector<ListedSlot> slots;  // complete slots, newest first; none without a pool
  std::optional<Error> slots_error;
};

// The scope a target is looked at under: the one requested, or else the
// one its state record stands for (none without a readable record). The
// one place scope is inferred.
std::optional<TargetScope> decide_scope(std::optional<TargetScope> requested,
                                        const StateRead& state);

// Validates the target text (a failure is the result). With
// `missing_allowed`, an absolute path that does not exist or is not a
// directory is reported as missing instead.
Result<TargetReport> report_target(std::string_view target_text,
                                   std::optional<TargetScope> requested, ReportParts parts,
                                   bool missing_allowed = false);

}  // namespace velk
