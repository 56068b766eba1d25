// Carrying out a planned software operation on a prefix: software_install
// and software_update place the downloaded artifact as a version tree and
// expose it; software_remove takes the planned version's tree away. Every
// operation first creates the prefix, takes its lock and repairs what an
// interrupted earlier run left behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json_fwd.h"
#include "product/operation.h"
#include "software/release_table.h"

namespace velk {

// The version and build a plan named.
struct PlannedSoftware {
  std::string version;
  Build build;
};

struct SoftwareApplyResult {
  std::vector<std::string> recovered;  // notes of the recovery scan, in order
  Operation operation = Operation::software_install;
  std::string version;
  bool removed = false;     // software_remove: a tree was removed
  uint64_t files = 0;       // install, update: regular files in the version tree
  std::string executable;   // install, update: the command's full path
};

// The apply result document: state "verified", recovered, operation,
// command, version, then removed (software_remove) or entry_point,
// executable and files (install, update).
Json software_apply_document(const SoftwareApplyResult& result);

// `prefix` is the --prefix text (absent when none was given); `artifacts`
// the --software-artifact files in the order given. Lock failures keep
// their kinds (lock_unavailable, state_unavailable); an artifact that is not
// the planned bytes is integrity_mismatch; everything else is
// state_unavailable.
Result<SoftwareApplyResult> apply_software_operation(Operation operation,
                                                     std::optional<std::string_view> prefix,
                                                     const PlannedSoftware& planned,
                                                     const std::vector<std::string>& artifacts);

}  // namespace velk
