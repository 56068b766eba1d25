// apply-operation: carries out exactly the plan the consumer approved.
#pragma once

#include "core/error.h"
#include "core/json_fwd.h"
#include "protocol/plan.h"
#include "protocol/request.h"

namespace velk {

Result<Json> apply_operation(const ApplyOperationRequest& request);

// An approved plan artifact read back as a plan: its digest must be the
// approved one ("the approved plan artifact has another digest; no effect
// was made", digest_mismatch), then everything plan_from_json checks.
Result<Plan> approved_plan(const Json& artifact, const std::string& approved_digest);

}  // namespace velk
