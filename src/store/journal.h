// The journal: the crash-surviving record that an operation is in flight on
// a target, and the checks that refuse new work while one is unresolved.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/dir.h"
#include "core/error.h"
#include "product/declaration.h"

namespace velk {

struct Journal {
  uint32_t schema_version = 1;
  std::string phase;  // "prepared" or "committed"
  std::string operation_id;
  std::string operation;
  std::string plan_digest;
  std::string target_precondition_digest;
  std::optional<std::string> backup_ref;
  std::optional<TargetScope> target_scope;  // left out of the file when absent
  bool operator==(const Journal&) const = default;
};

// The journal's path in the control directory, for messages.
std::string journal_path(const Dir& control);

// nullopt when there is no journal file (or no control directory). Errors
// (recovery_required): "a journal exists at {} but cannot be read", "...
// but does not parse", "journal schema {} is not the 1 this build writes".
Result<std::optional<Journal>> read_journal(const Dir& control);

// The same reading of bytes found at `path`.
Result<Journal> parse_journal(const std::string& path, std::string_view bytes);
// The journal's canonical bytes with the given phase.
Result<std::string> encode_journal(const Journal& journal, std::string_view phase);

// Refuses with "a journal is already published; only recovery may resolve
// it" when a journal file exists; otherwise writes it with phase "prepared".
Status publish_journal(const Dir& control, const Journal& journal);
// Rewrites the journal with phase "committed".
Status commit_journal(const Dir& control, const Journal& journal);
// Removes the journal file; absence is success. "cannot clear {}".
Status clear_journal(const Dir& control);

// Refuses (recovery_required) while a journal, a "transaction" directory or
// an incomplete slot (named in `incomplete_slots`, a slot of the pool at
// `pool_path`) is left over, in that order.
Status check_resolved(const Dir& control, const std::string& pool_path,
                      const std::vector<std::string>& incomplete_slots);

}  // namespace velk
