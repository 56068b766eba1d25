// What the planner records for a software operation: the effect lines, the
// software_artifacts entry of the planned build and the platform record.
// Planning reads the prefix and changes nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json_fwd.h"
#include "product/operation.h"
#include "software/release_table.h"

namespace velk {

// The effects, in the order apply makes them, of installing, updating or
// removing `version` (whose host build is `build`) under the prefix.
// Refusals (state_unavailable): no absolute prefix, "{operation} installs a
// program, which lives under --prefix, not under --target; name an absolute
// --prefix"; an update with nothing installed, "there is no velk under
// {prefix} to update; software_install is the operation that puts one
// there"; and the inventory's own listing error.
Result<std::vector<std::string>> software_plan_effects(Operation operation,
                                                       std::optional<std::string_view> prefix,
                                                       std::string_view version,
                                                       const Build& build);

// {"platform","url","sha256","byte_length","entry_point"}, in this order.
Json software_artifact_entry(const Build& build);

// The host platform as the plan records it: {"os":...,"arch":...}.
Json platform_record();

}  // namespace velk
