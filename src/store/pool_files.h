// Names inside the backup pool and its slots, shared by the pool's own
// files. Private to the store folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "store/target.h"

namespace velk {

inline constexpr uint32_t kSlotSchema = 1;
inline constexpr std::string_view kSlotRecordName = "slot.json";
inline constexpr std::string_view kPayloadName = "payload";
inline constexpr std::string_view kHeldName = "HELD";
// The target's state file as it was when the slot was captured, or a marker
// that it had none.
inline constexpr std::string_view kPreviousStateName = "previous-state.json";
inline constexpr std::string_view kPreviousStateAbsentName = "previous-state.absent";
// Under user_root, the paths the change was about to write (a canonical JSON
// array), so that recovery can take away what a killed change added before
// it could record it.
inline constexpr std::string_view kPlannedWritesName = "planned-writes.json";
// The largest slot record, planned-writes list and hold this build reads.
inline constexpr uint64_t kSlotRecordCap = 1024 * 1024;
inline constexpr uint64_t kPlannedWritesCap = 16 * 1024 * 1024;
inline constexpr uint64_t kHeldCap = 64 * 1024;

// A slot being reclaimed is renamed to this prefix and its name first, so an
// interrupted prune never leaves a half-deleted directory in slot form.
inline constexpr std::string_view kPruningPrefix = ".pruning-";
// The largest number a 12-digit slot name can carry.
inline constexpr uint64_t kMaxSlotNumber = 999'999'999'999;

// The entry names of the pool directory; none when it does not exist yet.
Result<std::vector<std::string>> list_pool(const BackupPool& pool);

// The number of a slot name; 0 for a name that is not a slot reference.
uint64_t slot_number(std::string_view name);

}  // namespace velk
