// Applying a software plan: the plan is held to the platform, version and
// prefix it was made for and to the pinned build of that version, then the
// program directory carries it out.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json_fwd.h"
#include "protocol/plan.h"

namespace velk {

// `plan` is an approved plan of a software operation. Returns the software
// apply result document.
Result<Json> apply_software_plan(const Plan& plan, const std::optional<std::string>& prefix,
                                 const std::vector<std::string>& artifacts);

}  // namespace velk
