// Applying a software plan: the plan is held to the platform, version and
// prefix it was made for and to the pinned build of that version, then the
// program directory carries it out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "product/operation.h"

namespace velk {

// `plan` has passed check_approved_plan; `op` is its software operation.
// Returns the software apply result document.
Result<Json> apply_software_plan(Operation op, const Json& plan,
                                         const std::optional<std::string>& prefix,
                                         const std::vector<std::string>& artifacts);

}  // namespace velk
