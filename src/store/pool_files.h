// Names inside the backup pool and its slots, shared by the pool's own
// files. Private to the store folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velk {

inline constexpr uint32_t kSlotSchema = 1;
inline constexpr std::string_view kSlotRecordName = "slot.json";
inline constexpr std::string_view kPayloadName = "payload";
inline constexpr std::string_view kHeldName = "HELD";
// The target's state file as it was when the slot was captured, or a marker
// that it had none.
inline constexpr std::string_view kPreviousStateName = "previous-state.json";
inline constexpr std::string_view kPreviousStateAbsentName = "previous-state.absent";
// A slot being reclaimed is renamed to this prefix and its name first, so an
// interrupted prune never leaves a half-deleted directory in slot form.
inline constexpr std::string_view kPruningPrefix = ".pruning-";
// The largest number a 12-digit slot name can carry.
inline constexpr uint64_t kMaxSlotNumber = 999'999'999'999;

// The number of a slot name; 0 for a name that is not a slot reference.
uint64_t slot_number(std::string_view name);

}  // namespace velk
