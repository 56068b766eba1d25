// Recovery: resolves what an interrupted change left on a target, under the
// target lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace velk {

struct RecoveryOutcome {
  // The phase of the journal that was resolved; nullopt when none was
  // published.
  std::optional<std::string> phase;
  // The slot the target was put back from (a prepared journal).
  std::optional<std::string> restored_from;
  // The target identity after recovery, measured when a journal was
  // resolved.
  std::optional<std::string> identity;
  // Names of the incomplete slots (captures that never finished) removed.
  std::vector<std::string> cleared_slots;
};

// A committed journal is cleared. A prepared one has its slot's payload put
// back over the owned surfaces of its scope, and the state file written by
// the interrupted change replaced by the one the slot kept; then it is
// cleared. A prepared journal without a backup is refused
// (recovery_required: "the journal names no backup, so the pre-operation
// target cannot be restored") and stays. Incomplete slots are removed.
// A leftover "transaction" directory is left alone.
Result<RecoveryOutcome> recover(std::string_view target_text);

}  // namespace velk
