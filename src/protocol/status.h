// The provider protocol's one read-only report: status --json.
#pragma once

#include "core/error.h"
#include "core/json_fwd.h"
#include "protocol/request.h"

namespace velk {

// The status document of a target. Reads only: no lock, nothing created.
Result<Json> status_document(const StatusRequest& request);

}  // namespace velk
