// recover-operation: resolves an interrupted change and says how.
#pragma once

#include "core/error.h"
#include "core/json_fwd.h"
#include "protocol/request.h"

namespace velk {

Result<Json> recover_operation(const RecoverOperationRequest& request);

}  // namespace velk
