// Planning the software operations: the pinned version and its host build,
// the effect lines, the artifacts the consumer must fetch, and the record of
// where the plan installs (platform, version and prefix), which apply holds
// the plan to.
#pragma once

#include "core/error.h"
#include "core/json.h"
#include "protocol/plan.h"
#include "protocol/request.h"

namespace velk {

// Fills the software members of a plan (effects, platform,
// software_artifacts) for software_install, software_update or
// software_remove. The request has passed the argument rules.
Status plan_software(const PlanOperationRequest& request, Plan& plan);

// The prefix as plans record it: trailing separators dropped.
std::string planned_prefix_text(std::string_view prefix);

}  // namespace velk
