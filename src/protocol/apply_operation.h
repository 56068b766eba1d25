// apply-operation: carries out exactly the plan the consumer approved.
#pragma once

#include "core/error.h"
#include "core/json.h"
#include "protocol/request.h"

namespace velk {

Result<Json> apply_operation(const ApplyOperationRequest& request);

}  // namespace velk
