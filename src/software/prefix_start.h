// What every software operation does first: create the prefix and its
// control directory, take and annotate the prefix lock, and repair the
// leftovers of an interrupted earlier run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "store/target.h"

namespace velk {

struct PrefixSession {
  Dir prefix;  // held from here on: nothing below it is reached by path again
  TargetLock lock;
  std::vector<std::string> notes;  // one line per repaired leftover
};

// Errors: "--prefix {P} cannot be created: {reason}" (state_unavailable),
// "--prefix {P} is a symbolic link, which this build does not follow"
// (invalid_target), the lock's own, and the recovery scan's "the staged {V}
// tree could not be cleared", "the previous {V} tree could not be put
// back", "the replaced {V} tree could not be cleared".
Result<PrefixSession> start_prefix_operation(const std::string& prefix,
                                             std::string_view operation);

// Opens (creating it and its parents when absent) the prefix and its
// control directory, as start_prefix_operation does, without locking.
struct OpenedPrefix {
  Dir prefix;
  Dir control;
};
Result<OpenedPrefix> open_prefix(const std::string& prefix);

// The recovery scan alone, for a prefix whose lock is held.
Result<std::vector<std::string>> recover_prefix(const Dir& prefix);

}  // namespace velk
