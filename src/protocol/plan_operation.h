// plan-operation: the plan envelope for one requested operation, or a
// refusal. Reads the target and the bundle; writes nothing anywhere.
#pragma once

#include "core/error.h"
#include "core/json_fwd.h"
#include "protocol/request.h"

namespace velk {

Result<Json> plan_operation(const PlanOperationRequest& request);

}  // namespace velk
